// The updater program: builds the application and its main frame over the machine's devices, shows it,
// and ends when the frame closes after the update.
#include <QApplication>
#include <QPalette>
#include <QSettings>
#include <QTemporaryDir>

#include "app/shell/main_frame.h"
#include "platform/devices.h"
#include "ui/bitmaps.h"

namespace {

class CQx250fwApp final : public QApplication {
  public:
    CQx250fwApp(int& argc, char** argv) : QApplication(argc, argv) {}

    // Dialog colours, then the frame. False when no frame could be made.
    bool InitInstance() {
        QPalette colours = palette();
        colours.setColor(QPalette::Window, QColor(192, 192, 192));
        colours.setColor(QPalette::Button, QColor(192, 192, 192));
        colours.setColor(QPalette::WindowText, QColor(0, 0, 0));
        colours.setColor(QPalette::ButtonText, QColor(0, 0, 0));
        setPalette(colours);
        setWindowIcon(ui::LoadAppIcon());
        // The program keeps no settings; Qt's file dialog would otherwise read and write its own.
        if (m_settingsDir.isValid()) {
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
            QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
        }
        m_frame = std::make_unique<CMainFrame>(platform::SystemDevices());
        m_frame->show();
        return true;
    }

    ~CQx250fwApp() override { m_frame.reset(); }

  private:
    QTemporaryDir m_settingsDir;
    std::unique_ptr<CMainFrame> m_frame;
};

}  // namespace

int main(int argc, char** argv) {
    CQx250fwApp app(argc, argv);
    if (!app.InitInstance()) {
        return 1;
    }
    return CQx250fwApp::exec();
}
