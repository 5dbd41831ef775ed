// qx410-bench: times complete firmware downloads against the camera simulator, with every byte paced at
// the line rate, and compares each with the least time the protocol allows for the exchange the
// simulator saw. Also reports the updater's CPU time and peak memory.
//
//   qx410-bench [--serial-only | --usb-only | --help]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/exchange_floor.h"
#include "platform/devices.h"
#include "protocol/camera_session.h"
#include "tests/e2e/sim_process.h"

namespace {

constexpr uint32_t PAYLOAD_SIZE = 0x100000;

int32_t CountProgress(uint32_t, int32_t, int32_t) {
    return 1;
}

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// One download over one link; prints its line of results. False when it could not be measured.
bool MeasureDownload(bool usb) {
    const char* linkName = usb ? "USB" : "serial";
    const std::string runtimeDir = e2e::MakePrivateRuntimeDir();
    if (runtimeDir.empty()) {
        std::fprintf(stderr, "qx410-bench: cannot make a private runtime directory\n");
        return false;
    }
    const std::string logPath = runtimeDir + "/wire.log";
    const std::string published = runtimeDir + (usb ? "/qx410fw/QX410U-001" : "/qx410fw/COM1");
    e2e::SimProcess sim;
    std::string error;
    const std::vector<std::string> arguments = {usb ? "--usb" : "--serial", "1", "--pace", "--log", logPath};
    if (!sim.Start(arguments, published, runtimeDir + "/summary.txt", error)) {
        std::fprintf(stderr, "qx410-bench: %s\n", error.c_str());
        e2e::RemoveRuntimeDir(runtimeDir);
        return false;
    }

    CCameraSession session(platform::SystemDevices());
    CameraInfo info;
    char name[40] = {};
    CameraName cameraName;
    cameraName.name = name;
    int32_t notIdentified = -1;
    session.SearchCamera(usb ? PORT_USB : 1, &info, &cameraName, &notIdentified);
    if (session.GetResultCode() != 0 || notIdentified != 0) {
        std::fprintf(stderr, "qx410-bench: %s: the camera was not found (code %d)\n", linkName,
                     session.GetResultCode());
        sim.Stop();
        e2e::RemoveRuntimeDir(runtimeDir);
        return false;
    }

    std::vector<uint8_t> payload(PAYLOAD_SIZE);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>((i * 131u) ^ (i >> 8));
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    session.DownloadFirmware(payload.data(), CountProgress);
    const auto end = std::chrono::steady_clock::now();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const int16_t resultCode = session.GetResultCode();

    const e2e::SimSummary summary = sim.Stop();
    const bench::DownloadFloor floor = bench::ComputeDownloadFloor(ReadText(logPath), usb);
    e2e::RemoveRuntimeDir(runtimeDir);
    if (resultCode != 0 || !summary.valid || summary.Value("reset") != "yes") {
        std::fprintf(stderr, "qx410-bench: %s: the download failed (code %d)\n", linkName, resultCode);
        return false;
    }
    if (!floor.valid) {
        std::fprintf(stderr, "qx410-bench: %s: %s\n", linkName, floor.error.c_str());
        return false;
    }

    const double measuredMs = std::chrono::duration<double, std::milli>(end - start).count();
    std::printf("%s download: measured %.1f s, floor %.1f s, ratio %.4f\n", linkName, measuredMs / 1000,
                floor.TotalMs() / 1000, measuredMs / floor.TotalMs());
    std::printf(
        "  floor: mandated waits %.1f s + %llu bytes at the line rate %.1f s + camera %.1f s "
        "(%u commands)\n",
        floor.waitsMs / 1000, static_cast<unsigned long long>(floor.bytes), floor.bytesMs / 1000,
        floor.cameraMs / 1000, floor.commands);
    std::printf("  over the floor: %.1f ms in all, %.3f ms per command\n", measuredMs - floor.TotalMs(),
                (measuredMs - floor.TotalMs()) / floor.commands);
    std::printf("  updater CPU time %.1f s (%.0f%% of the download), peak memory %ld KiB\n",
                CpuSeconds(after) - CpuSeconds(before),
                100 * (CpuSeconds(after) - CpuSeconds(before)) * 1000 / measuredMs, after.ru_maxrss);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool serial = true;
    bool usb = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--usb-only") == 0) {
            serial = false;
        } else if (std::strcmp(argv[i], "--serial-only") == 0) {
            usb = false;
        } else {
            const bool help = std::strcmp(argv[i], "--help") == 0;
            std::fprintf(help ? stdout : stderr,
                         "usage: qx410-bench [--usb-only | --serial-only]\n"
                         "Times complete downloads against the camera simulator (serial takes about nine "
                         "minutes).\n");
            return help ? 0 : 2;
        }
    }
    if (!serial && !usb) {
        std::fprintf(stderr, "qx410-bench: --usb-only and --serial-only exclude each other\n");
        return 2;
    }
    bool ok = true;
    if (usb) {
        ok = MeasureDownload(true) && ok;
    }
    if (serial) {
        ok = MeasureDownload(false) && ok;
    }
    return ok ? 0 : 1;
}
