// qx410-camera-sim: the simulated Corva QX410 Zoom behind real links. It publishes the camera's serial
// port as a pseudo-terminal (D/COMn) or its USB driver as a Unix socket (D/QX410U-NNN), runs the camera
// model on the real clock until it is stopped, and prints a summary of what the camera saw.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/version.h"
#include "sim/adapter_model.h"
#include "sim/byte_log.h"
#include "sim/camera_model.h"
#include "sim/device_directory.h"
#include "sim/endpoint.h"
#include "sim/serial_endpoint.h"
#include "sim/summary.h"
#include "sim/usb_endpoint.h"
#include "wire/byte_codes.h"
#include "wire/usb_device_name.h"

namespace {

const char USAGE[] = R"(usage: qx410-camera-sim (--serial N | --usb [N]) [options]

Runs a simulated Corva QX410 Zoom camera for the firmware updater. The camera's links are published in
the device directory ($XDG_RUNTIME_DIR/qx410fw, or /tmp/qx410fw-<uid>) and removed again on exit.

Link (exactly one):
  --serial N              the camera's serial port as COMN (N = 1..9), on a pseudo-terminal
  --usb [N]               the camera's USB device object QX410U-NNN (N = 1..127, default 1)
  --driver-tcp PORT       with --usb: serve the driver socket's requests on 127.0.0.1:PORT too (0 = a
                          free port, named on standard error), for a driver stand-in under Wine

Running:
  --pace                  every byte takes its time on the line (10 bits at the line rate)
  --adapter MODEL         the serial adapter between camera and host: pty (default: bytes reach the
                          host at once), ftdi[:L] (held until 62 are buffered or the L ms latency tick,
                          default 16), no-break (breaks never reach the camera), fake-break (a NUL at
                          46 baud for a break, 196 ms of garbled input), late-byte[:CODE] (the reply to
                          the first command CODE, hex, default 1d, reaches the host 3,020 ms late)
  --once                  exit once the camera has completed a reset command
  --log FILE              log every byte in and out with time stamps to FILE
  -v, --verbose           log to standard error
  --flash-in FILE         start with the 1 MiB flash read from FILE (as --flash-out wrote it)
  --flash-out FILE        at exit, write the camera's 1 MiB flash to FILE
  -h, --help              this text
  -V, --version           the simulator's version

Identity (status block):
  --state N               camera state, status byte 1 (6 = ready; default 6)
  --version-major N       status byte 2: first and second version digit as 0..99 (default 10)
  --version-minor N       status byte 3: third digit high nibble, fourth low (default 0x60)
  --flags N               status byte 11 (default 0x80)
  --counter N             status bytes 14-15 (default 1234)
  --name TEXT             camera name, up to 32 characters (default "Corva QX410 Zoom")
  --clock Y-M-DTh:m:s     camera clock (default 2001-06-15T12:30:45)
  --size-flag N           status byte 79 (default 0)
  --selector N            status byte 80 (default 1)
  --selected A,B,C        values chosen by selectors 1, 2 and 3 (default 100,200,300)
  --unlocked              update mode already open: the access string is answered at once

Camera timing (milliseconds):
  --time NAME=MS          how long the camera takes, from the event that starts it:
                            ack         a command or data packet -> its acknowledgement (2)
                            ready       a status read acknowledged -> the ready byte (5)
                            completion  an acknowledgement -> the completion byte (5)
                            access      the access string -> the access reply (20)
                            erase       an erase acknowledged -> its completion (200)
                            block       a data packet accepted -> its completion (3)
                            checksum    the checksum acknowledged -> its completion (20)
                            reset       the reset acknowledged -> its completion (30)
                            restart     the reset's completion -> the camera back at 9600 baud (100)
                            busy        the spacing of busy bytes (100)
                            gap         a partial packet older than this is dropped (500)

Faults:
  --silent                never answer anything
  --busy CMD:POINT:MS     busy bytes for MS ms (or "endless") before the reply of command CMD (hex,
                          0 = every command) at POINT: ack, ready or completion; may be repeated
  --refuse-block N[:K]    refuse the data packet of block N K times (default 5)
  --status-errors N       answer N status reads with the error byte instead of a packet
  --corrupt-status N      send N status packets with a wrong check byte
  --refuse-command CODE   refuse command CODE (hex) with 0xE1
  --wrong-access-reply    answer the access string with the wrong reply
  --checksum-mismatch     the checksum command always fails
  --silent-from-block N   stop answering at the write command of block N
  --erase-never-completes acknowledge the erase, never complete it
  --speed-fault KIND      KIND: elsewhere (switch to another rate) or stay (keep the rate)

At exit (end of --once, SIGINT or SIGTERM) a summary goes to standard output.
)";

struct Options {
    int serialPort = 0;
    int usbInstance = 0;
    std::optional<uint16_t> driverTcpPort;  // --driver-tcp
    bool pace = false;
    sim::AdapterModel adapter;
    bool once = false;
    bool verbose = false;
    bool showVersion = false;  // --version: print it and end
    std::string logPath;
    std::string flashOutPath;
    sim::CameraConfig config;
};

bool ParseNumber(const std::string& text, unsigned long maxValue, unsigned long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == '\0' && text[0] != '-' && value <= maxValue;
}

template <typename T>
bool ParseInto(const std::string& text, unsigned long maxValue, T& target) {
    unsigned long value = 0;
    if (!ParseNumber(text, maxValue, value)) {
        return false;
    }
    target = static_cast<T>(value);
    return true;
}

bool ParseHexCode(const std::string& text, uint8_t& code) {
    std::string digits = text;
    if (digits.rfind("0x", 0) != 0 && digits.rfind("0X", 0) != 0) {
        digits = "0x" + digits;
    }
    return ParseInto(digits, 0xFF, code);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

bool ParseClock(const std::string& text, sim::CameraConfig& config) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u-%u-%uT%u:%u:%u%c", &year, &month, &day, &hour, &minute, &second,
                    &tail) != 6 ||
        year > 0xFFFF || month > 0xFF || day > 0xFF || hour > 0xFF || minute > 0xFF || second > 0xFF) {
        return false;
    }
    config.year = static_cast<uint16_t>(year);
    config.month = static_cast<uint8_t>(month);
    config.day = static_cast<uint8_t>(day);
    config.hour = static_cast<uint8_t>(hour);
    config.minute = static_cast<uint8_t>(minute);
    config.second = static_cast<uint8_t>(second);
    return true;
}

bool ParseTime(const std::string& text, sim::ResponseTimes& times) {
    const std::vector<std::string> parts = Split(text, '=');
    uint32_t value = 0;
    if (parts.size() != 2 || !ParseInto(parts[1], 600000, value)) {
        return false;
    }
    struct Named {
        const char* name;
        uint32_t* field;
    };
    const Named fields[] = {
        {"ack", &times.ackMs},
        {"ready", &times.readyMs},
        {"completion", &times.completionMs},
        {"access", &times.accessReplyMs},
        {"erase", &times.eraseMs},
        {"block", &times.blockWriteMs},
        {"checksum", &times.checksumMs},
        {"reset", &times.resetMs},
        {"restart", &times.restartMs},
        {"busy", &times.busyIntervalMs},
        {"gap", &times.packetGapMs},
    };
    for (const Named& field : fields) {
        if (parts[0] == field.name) {
            *field.field = value;
            return true;
        }
    }
    return false;
}

bool ParseBusy(const std::string& text, sim::CameraFaults& faults) {
    const std::vector<std::string> parts = Split(text, ':');
    sim::BusyFault fault;
    if (parts.size() != 3 || !ParseHexCode(parts[0], fault.command)) {
        return false;
    }
    if (parts[1] == "ack") {
        fault.point = sim::ReplyPoint::Ack;
    } else if (parts[1] == "ready") {
        fault.point = sim::ReplyPoint::Ready;
    } else if (parts[1] == "completion") {
        fault.point = sim::ReplyPoint::Completion;
    } else {
        return false;
    }
    if (parts[2] == "endless") {
        fault.endless = true;
    } else if (!ParseInto(parts[2], 3600000, fault.durationMs)) {
        return false;
    }
    faults.busy.push_back(fault);
    return true;
}

// The saved flash of an earlier run: exactly the flash's size, or refused.
bool ReadFlash(const std::string& path, std::vector<uint8_t>& flash) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    flash.assign(sim::FLASH_SIZE + 1, 0);
    const size_t count = std::fread(flash.data(), 1, flash.size(), file);
    std::fclose(file);
    flash.resize(count);
    return count == sim::FLASH_SIZE;
}

// Parses the command line into options; false with a message for anything not understood.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    sim::CameraConfig& config = options.config;
    sim::CameraFaults& faults = config.faults;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        bool ok = true;
        bool usedValue = true;
        if (option == "-h" || option == "--help") {
            error.clear();
            return false;
        } else if (option == "-V" || option == "--version") {
            options.showVersion = true;
            error.clear();
            return false;
        } else if (option == "--serial") {
            ok = ParseInto(value, 9, options.serialPort) && options.serialPort >= 1;
        } else if (option == "--usb") {
            options.usbInstance = 1;
            unsigned long instance = 0;
            usedValue = hasValue && ParseNumber(value, wire::USB_INSTANCE_LAST, instance);
            if (usedValue) {
                ok = wire::IsUsbInstance(static_cast<int>(instance));
                options.usbInstance = static_cast<int>(instance);
            }
        } else if (option == "--pace" || option == "--once" || option == "-v" || option == "--verbose" ||
                   option == "--unlocked" || option == "--silent" || option == "--wrong-access-reply" ||
                   option == "--checksum-mismatch" || option == "--erase-never-completes") {
            usedValue = false;
            options.pace |= option == "--pace";
            options.once |= option == "--once";
            options.verbose |= option == "-v" || option == "--verbose";
            config.startUnlocked |= option == "--unlocked";
            faults.silent |= option == "--silent";
            faults.wrongAccessReply |= option == "--wrong-access-reply";
            faults.checksumAlwaysMismatch |= option == "--checksum-mismatch";
            faults.eraseNeverCompletes |= option == "--erase-never-completes";
        } else if (!hasValue) {
            error = "unknown option, or no value given: " + option;
            return false;
        } else if (option == "--adapter") {
            const std::optional<sim::AdapterModel> adapter = sim::ParseAdapterModel(value);
            ok = adapter.has_value();
            if (ok) {
                options.adapter = *adapter;
            }
        } else if (option == "--log") {
            options.logPath = value;
        } else if (option == "--flash-out") {
            options.flashOutPath = value;
        } else if (option == "--flash-in") {
            ok = ReadFlash(value, config.initialFlash);
        } else if (option == "--state") {
            ok = ParseInto(value, 0xFF, config.state);
        } else if (option == "--version-major") {
            ok = ParseInto(value, 0xFF, config.versionMajor);
        } else if (option == "--version-minor") {
            ok = ParseInto(value, 0xFF, config.versionMinor);
        } else if (option == "--flags") {
            ok = ParseInto(value, 0xFF, config.flags);
        } else if (option == "--counter") {
            ok = ParseInto(value, 0xFFFF, config.counter);
        } else if (option == "--driver-tcp") {
            uint16_t port = 0;
            ok = ParseInto(value, 0xFFFF, port);
            options.driverTcpPort = port;
        } else if (option == "--name") {
            ok = value.size() <= 32;
            config.name = value;
        } else if (option == "--clock") {
            ok = ParseClock(value, config);
        } else if (option == "--size-flag") {
            ok = ParseInto(value, 0xFF, config.sizeFlag);
        } else if (option == "--selector") {
            ok = ParseInto(value, 0xFF, config.selector);
        } else if (option == "--selected") {
            const std::vector<std::string> parts = Split(value, ',');
            ok = parts.size() == 3;
            for (size_t k = 0; ok && k < 3; ++k) {
                ok = ParseInto(parts[k], 0xFFFF, config.selectedValues[k]);
            }
        } else if (option == "--time") {
            ok = ParseTime(value, config.times);
        } else if (option == "--busy") {
            ok = ParseBusy(value, faults);
        } else if (option == "--refuse-block") {
            const std::vector<std::string> parts = Split(value, ':');
            uint32_t block = 0;
            faults.refuseBlockTimes = 5;
            ok = parts.size() <= 2 && ParseInto(parts[0], 0xFFFF, block) &&
                 (parts.size() == 1 || ParseInto(parts[1], 1000, faults.refuseBlockTimes));
            faults.refuseBlock = block;
        } else if (option == "--status-errors") {
            ok = ParseInto(value, 1000, faults.statusErrorTimes);
        } else if (option == "--corrupt-status") {
            ok = ParseInto(value, 1000, faults.corruptStatusCheckTimes);
        } else if (option == "--refuse-command") {
            uint8_t code = 0;
            ok = ParseHexCode(value, code);
            faults.refuseCommand = code;
        } else if (option == "--silent-from-block") {
            uint32_t block = 0;
            ok = ParseInto(value, 0xFFFF, block);
            faults.silentFromBlock = block;
        } else if (option == "--speed-fault") {
            ok = value == "elsewhere" || value == "stay";
            faults.speed = value == "stay" ? sim::SpeedFault::StayPut : sim::SpeedFault::SwitchElsewhere;
        } else {
            error = "unknown option " + option;
            return false;
        }
        if (!ok) {
            error = "bad value for " + option + (usedValue ? ": " + value : "");
            return false;
        }
        if (usedValue) {
            ++i;
        }
    }
    if ((options.serialPort == 0) == (options.usbInstance == 0)) {
        error = "choose exactly one link: --serial N or --usb [N]";
        return false;
    }
    if (options.driverTcpPort.has_value() && options.usbInstance == 0) {
        error = "--driver-tcp serves the USB driver's requests: it needs --usb";
        return false;
    }
    config.link = options.serialPort != 0 ? sim::LinkKind::Serial : sim::LinkKind::Usb;
    config.pacing = options.pace;
    return true;
}

void LogSetup(sim::ByteLog& log, const Options& options, const std::string& published) {
    const sim::ResponseTimes& t = options.config.times;
    char text[256];
    std::snprintf(text, sizeof text,
                  "times ack=%u ready=%u completion=%u access=%u erase=%u block=%u checksum=%u reset=%u "
                  "restart=%u busy=%u gap=%u",
                  t.ackMs, t.readyMs, t.completionMs, t.accessReplyMs, t.eraseMs, t.blockWriteMs,
                  t.checksumMs, t.resetMs, t.restartMs, t.busyIntervalMs, t.packetGapMs);
    log.Event(0, std::string("camera on ") + (options.serialPort != 0 ? "serial " : "usb ") + published +
                     (options.pace ? ", paced" : ", not paced"));
    if (options.adapter.kind != sim::AdapterKind::Pty) {
        log.Event(0, "adapter " + sim::AdapterModelName(options.adapter));
    }
    log.Event(0, text);
}

// Runs the event loop until a signal, a fatal link failure or (--once) a completed reset. 0 on a normal
// end.
int RunLoop(sim::IEndpoint& endpoint, sim::CameraModel& model, int signalFd, bool once) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        pollfd signals{};
        signals.fd = signalFd;
        signals.events = POLLIN;
        fds.push_back(signals);
        endpoint.AddPollFds(fds);

        const std::optional<uint64_t> wakeUs = endpoint.NextWakeUs();
        timespec timeout{};
        const timespec* timeoutPointer = nullptr;
        if (wakeUs.has_value()) {
            const uint64_t nowUs = sim::NowUs();
            const uint64_t waitUs = *wakeUs > nowUs ? *wakeUs - nowUs : 0;
            timeout.tv_sec = static_cast<time_t>(waitUs / 1000000u);
            timeout.tv_nsec = static_cast<long>((waitUs % 1000000u) * 1000u);
            timeoutPointer = &timeout;
        }
        if (ppoll(fds.data(), fds.size(), timeoutPointer, nullptr) < 0 && errno != EINTR) {
            std::fprintf(stderr, "qx410-camera-sim: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        const uint64_t nowUs = sim::NowUs();
        if ((fds[0].revents & POLLIN) != 0) {
            return 0;
        }
        if (!endpoint.HandlePoll(fds, 1, nowUs)) {
            return 1;
        }
        endpoint.Service(nowUs);
        if (once && model.ResetSeen() && !model.NextOutputTime().has_value() &&
            !endpoint.HasPendingOutput()) {
            return 0;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        if (error.empty()) {
            if (options.showVersion) {
                std::printf("qx410-camera-sim %s\n", ProgramVersion());
            } else {
                std::fputs(USAGE, stdout);
            }
            return 0;
        }
        std::fprintf(stderr, "qx410-camera-sim: %s (see --help)\n", error.c_str());
        return 2;
    }

    // SIGINT and SIGTERM arrive through a descriptor in the event loop, so that the published links are
    // always removed; a host that vanishes must not kill the camera with SIGPIPE.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The camera answers on its microsecond: no timer slack on the loop's waits (50 us by default).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::fprintf(stderr, "qx410-camera-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    sim::ByteLog log;
    if (!options.logPath.empty() && !log.OpenFile(options.logPath, error)) {
        std::fprintf(stderr, "qx410-camera-sim: %s\n", error.c_str());
        return 1;
    }
    if (options.logPath.empty() && options.verbose) {
        log.UseStderr();
    }

    const std::string directory = sim::DeviceDirectoryPath();
    if (!sim::PrepareDeviceDirectory(directory, error)) {
        std::fprintf(stderr, "qx410-camera-sim: %s\n", error.c_str());
        return 1;
    }

    sim::CameraModel model(options.config);
    sim::CameraWire wire(model, log);
    std::unique_ptr<sim::IEndpoint> endpoint;
    std::string published;
    if (options.serialPort != 0) {
        auto serial = std::make_unique<sim::SerialEndpoint>(wire, options.pace, options.adapter);
        if (!serial->Open(directory, options.serialPort, error)) {
            std::fprintf(stderr, "qx410-camera-sim: %s\n", error.c_str());
            return 1;
        }
        published = serial->PublishedPath() + " -> " + serial->SlavePath();
        endpoint = std::move(serial);
    } else {
        auto usb = std::make_unique<sim::UsbEndpoint>(wire);
        if (!usb->Open(directory, options.usbInstance, error)) {
            std::fprintf(stderr, "qx410-camera-sim: %s\n", error.c_str());
            return 1;
        }
        published = usb->PublishedPath();
        if (options.driverTcpPort.has_value()) {
            if (!usb->ListenLoopback(*options.driverTcpPort, error)) {
                std::fprintf(stderr, "qx410-camera-sim: %s\n", error.c_str());
                return 1;
            }
            published += " and 127.0.0.1:" + std::to_string(usb->LoopbackPort());
        }
        endpoint = std::move(usb);
    }
    LogSetup(log, options, published);
    std::fprintf(stderr, "qx410-camera-sim: serving %s\n", published.c_str());

    const int status = RunLoop(*endpoint, model, signalFd, options.once);
    endpoint->Close();
    close(signalFd);
    log.Event(sim::NowUs(), "end");
    log.Flush();

    sim::PrintSummary(model);
    if (!options.flashOutPath.empty() && !sim::WriteFlash(options.flashOutPath, model.Flash())) {
        std::fprintf(stderr, "qx410-camera-sim: cannot write %s\n", options.flashOutPath.c_str());
        return 1;
    }
    return status;
}
