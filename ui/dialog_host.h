// What the dialogs ask of the update controller: to be placed (centred on the main view, or the notice
// at its bottom right) and, for the port dialog, to switch the status line when a port is confirmed.
// The shell connects this to the one CUpdateController; tests connect it to a recorder.
#pragma once

#include <QMargins>
#include <cstdint>

#include "app/update_ui.h"

class QWidget;

namespace ui {

class IDialogHost {
  public:
    virtual ~IDialogHost() = default;
    virtual void PlaceDialog(IPlacedWindow& window) = 0;
    virtual void PlaceNotice(IPlacedWindow& window) = 0;
    virtual void SetStatus(int16_t kind) = 0;
};

// A top-level Qt window as the controller's placement sees it: its outer (frame) rectangle, moved by
// its frame's top-left corner in screen coordinates and painted at once. Before the window is first
// shown Qt knows no frame; the window manager's frame extents are asked for and used instead.
class CPlacedWidget final : public IPlacedWindow {
  public:
    explicit CPlacedWidget(QWidget& widget) : m_widget(widget) {}
    WindowRect GetOuterRect() override;
    void MoveTo(int32_t x, int32_t y) override;

  private:
    QWidget& m_widget;
    QMargins m_unknownFrame;  // the frame Qt does not know of yet
};

}  // namespace ui
