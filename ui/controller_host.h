// Connects the dialogs to the update controller: placement by its arithmetic and the status line.
#pragma once

#include "app/update_controller.h"
#include "ui/dialog_host.h"

namespace ui {

class CControllerHost final : public IDialogHost {
  public:
    explicit CControllerHost(CUpdateController& controller) : m_controller(controller) {}
    void PlaceDialog(IPlacedWindow& window) override { m_controller.PlaceDialog(&window); }
    void PlaceNotice(IPlacedWindow& window) override { m_controller.PlaceNotice(&window); }
    void SetStatus(int16_t kind) override { m_controller.SetStatus(kind); }

  private:
    CUpdateController& m_controller;
};

}  // namespace ui
