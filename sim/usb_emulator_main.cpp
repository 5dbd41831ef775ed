// qx410-usb-emulator: the simulated Corva QX410 Zoom on an emulated USB bus, so the updater's real USB
// path (libusb) can be seen working without a camera. It builds a umockdev testbed with the camera's
// sysfs device and usbfs node, names the testbed in a file, and answers the camera's URBs until it is
// stopped; then it prints the same summary as qx410-camera-sim.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/summary.h"
#include "sim/usb_emulation.h"

namespace {

const char USAGE[] = R"(usage: qx410-usb-emulator --ready-file FILE [options]

Runs a simulated Corva QX410 Zoom camera on an emulated USB bus (umockdev). When the camera is plugged
in, the testbed's directory is written to FILE. Run the updater with that directory as UMOCKDEV_DIR and
LD_PRELOAD=libumockdev-preload.so.0, and with no QX410U-NNN socket in its device directory: it then
finds the camera by its product string and updates it through libusb.

  --ready-file FILE   where the testbed's directory goes once the camera is there
  --log FILE          one line per command the camera took ("command 1d ...")
  --flash-out FILE    at exit, write the camera's 1 MiB flash to FILE
  -h, --help          this text

At exit (SIGINT or SIGTERM) a summary goes to standard output.
)";

// Appends the commands taken since the last call to the log, one line each.
void LogCommands(sim::EmulatedUsbCamera& camera, std::ofstream& log, size_t& logged) {
    camera.WithModel([&](sim::CameraModel& model) {
        char line[64];
        for (; logged < model.Commands().size(); ++logged) {
            const sim::CommandRecord& command = model.Commands()[logged];
            std::snprintf(line, sizeof line, "%u command %02x\n", command.timeMs, command.code);
            log << line;
        }
    });
    log.flush();
}

}  // namespace

int main(int argc, char** argv) {
    std::string readyFile, logFile, flashOut;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "qx410-usb-emulator: %s needs a value\n%s", option.c_str(), USAGE);
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--ready-file") {
            readyFile = value;
        } else if (option == "--log") {
            logFile = value;
        } else if (option == "--flash-out") {
            flashOut = value;
        } else {
            std::fprintf(stderr, "qx410-usb-emulator: unknown option %s\n%s", option.c_str(), USAGE);
            return 2;
        }
    }
    if (readyFile.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }

    // SIGINT and SIGTERM end the run; they are taken synchronously below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::UsbEmulation emulation;
    sim::EmulatedUsbCamera& camera = emulation.AddCamera({});
    std::ofstream log;
    if (!logFile.empty()) {
        log.open(logFile);
    }
    {
        const std::string temporary = readyFile + ".part";
        std::ofstream(temporary) << emulation.RootDir() << "\n";
        if (std::rename(temporary.c_str(), readyFile.c_str()) != 0) {
            std::fprintf(stderr, "qx410-usb-emulator: cannot write %s\n", readyFile.c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "qx410-usb-emulator: camera on %s\n", emulation.RootDir().c_str());

    size_t logged = 0;
    const timespec tick{0, 100 * 1000 * 1000};
    while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
        if (log.is_open()) {
            LogCommands(camera, log, logged);
        }
    }
    if (log.is_open()) {
        LogCommands(camera, log, logged);
    }

    int status = 0;
    camera.WithModel([&](sim::CameraModel& model) {
        sim::PrintSummary(model);
        if (!flashOut.empty() && !sim::WriteFlash(flashOut, model.Flash())) {
            std::fprintf(stderr, "qx410-usb-emulator: cannot write %s\n", flashOut.c_str());
            status = 1;
        }
    });
    return status;
}
