// The updater program: builds the application and its main frame over the machine's devices, shows it,
// and ends when the frame closes after the update.
#include <QApplication>
#include <QPalette>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>

#include "common/version.h"
#include "platform/devices.h"
#include "shell/main_frame.h"
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

// In a Wayland session a program cannot place its own top-level windows, and the dialogs, the notice
// and the main frame are placed by the program. So unless the user chose a platform (QT_QPA_PLATFORM or
// -platform), the program runs through XWayland, the X server a Wayland session provides (DISPLAY).
// Without XWayland it stays on Qt's choice and the window manager places the windows.
void PreferXWaylandInWaylandSession(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0) {
            return;
        }
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
}

const char USAGE[] = R"(usage: qx410fw [Qt options]

Runs one firmware update of a Corva QX410 Zoom camera on the desktop: choose the port, then the
firmware image (*.fw). The program reads no other command line; Qt's own options (-platform, -display,
...) are taken. For scripts and machines without a desktop, use qx410fw-cli.

  -h, --help     this text
  -V, --version  the program's version
)";

// --help and --version are answered before Qt starts, so they need no display.
bool AnswerInformationOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(USAGE, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "-V") == 0 || std::strcmp(argv[i], "--version") == 0) {
            std::printf("qx410fw %s\n", ProgramVersion());
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerInformationOption(argc, argv)) {
        return 0;
    }
    PreferXWaylandInWaylandSession(argc, argv);
    CQx250fwApp app(argc, argv);
    if (!app.InitInstance()) {
        return 1;
    }
    return CQx250fwApp::exec();
}
