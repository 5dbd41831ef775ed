// The application window: a main frame without menu or minimise/maximise/close boxes that covers the
// desktop, the info bar across its top painting the status line, and the view that shows the centred
// background picture and starts the update 200 ms after its first paint. The frame owns the update
// controller and the Qt user interface; when the update returns, the frame closes and the program ends.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/update_ui.h"
#include "res/dialog_templates.h"
#include "ui/template_dialog.h"

class CUpdateController;
namespace platform {
class IDevices;
}
namespace ui {
class CControllerHost;
class CQtUpdateUi;
}  // namespace ui

// The status line bar: paints the controller's status text at (2, 5) in the default font.
class CInfoBar final : public QWidget, public IInfoBar {
  public:
    explicit CInfoBar(QWidget* parent);
    void RepaintNow() override { repaint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The view: the 526 x 394 background picture centred, clipped when the view is smaller. Its first paint
// after the initial update arms the one-shot start timer; the timer runs the start action once.
class CQx250fwView final : public QWidget {
  public:
    static constexpr int START_DELAY_MS = 200;

    explicit CQx250fwView(QWidget* parent);
    // Ready for the first paint to arm the start timer.
    void OnInitialUpdate() { m_bStartPending = 1; }
    void SetStartAction(std::function<void()> action) { m_startAction = std::move(action); }
    // Where the picture's top-left corner goes for a view of the given size.
    static QPoint PicturePosition(QSize viewSize);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    QImage m_picture;
    int m_bStartPending = 0;
    int m_startTimerId = 0;
    std::function<void()> m_startAction;
};

class CMainFrame final : public QWidget {
  public:
    explicit CMainFrame(platform::IDevices& devices);
    ~CMainFrame() override;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Moves the frame over the available desktop. Returns 0.
    virtual int FillDesktop();
    // The close command (Ctrl+Q, the end of the update): closes the frame, or, while the update runs,
    // as soon as it returns.
    void CloseApp();

    CQx250fwView* View() const { return m_view; }
    CInfoBar* InfoBar() const { return m_infoBar; }
    CUpdateController* Controller() const { return m_controller.get(); }
    ui::CQtUpdateUi* UpdateUi() const { return m_ui.get(); }
    // Replaces what the start timer runs (tests); by default it runs the controller's update.
    void SetStartAction(std::function<void()> action);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void RunUpdateOnce();

    CInfoBar* m_infoBar;
    CQx250fwView* m_view;
    std::unique_ptr<CUpdateController> m_controller;
    std::unique_ptr<ui::CControllerHost> m_host;
    std::unique_ptr<ui::CQtUpdateUi> m_ui;
    std::function<void()> m_startAction;
    bool m_bRunning = false;
};

// The About box on template 100. No control of the main window leads to it.
class CAboutDlg final : public ui::CTemplateDialog {
  public:
    explicit CAboutDlg(QWidget* parent) : ui::CTemplateDialog(res::IDD_ABOUTBOX, nullptr, parent) {}
};
