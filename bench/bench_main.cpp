// qx410-bench: times complete firmware downloads against the camera simulator, with every byte paced at
// the line rate, and compares each with the least time the protocol allows for the exchange the
// simulator saw. Also reports the updater's CPU time, its share of the download's wall time, and peak
// memory. The serial download runs over the plain line and behind a simulated FTDI adapter with its
// latency timer at the default 16 ms and at 1 ms (what low latency gives), each against the same floor.
//
//   qx410-bench [--serial-only | --usb-only | --adapter MODEL | --help]
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/download_measure.h"

namespace {

// One download over one link; prints its lines of results and returns the update time in ms, or
// nothing when it could not be measured.
std::optional<double> MeasureAndPrint(bool usb, const std::string& adapter = "") {
    const std::string linkName = usb ? "USB" : adapter.empty() ? "serial" : "serial behind " + adapter;
    const bench::DownloadFigures figures = bench::MeasureDownload(usb, adapter);
    if (!figures.valid) {
        std::fprintf(stderr, "qx410-bench: %s: %s\n", linkName.c_str(), figures.error.c_str());
        return std::nullopt;
    }
    const bench::DownloadFloor& floor = figures.floor;
    std::printf(
        "%s download: update time %.3f s, floor %.3f s, ratio %.4f, CPU time %.2f s, CPU share %.2f%%\n",
        linkName.c_str(), figures.measuredMs / 1000, floor.TotalMs() / 1000, figures.Ratio(),
        figures.cpuMs / 1000, 100 * figures.CpuShare());
    std::printf(
        "  floor: mandated waits %.1f s + %llu bytes at the line rate %.3f s + camera %.1f s "
        "(%u commands)\n",
        floor.waitsMs / 1000, static_cast<unsigned long long>(floor.bytes), floor.bytesMs / 1000,
        floor.cameraMs / 1000, floor.commands);
    std::printf("  over the floor: %.1f ms in all, %.3f ms per command; peak memory %ld KiB; %s\n",
                figures.measuredMs - floor.TotalMs(), (figures.measuredMs - floor.TotalMs()) / floor.commands,
                figures.peakMemoryKiB,
                figures.cpu >= 0 ? ("updater and camera on processor " + std::to_string(figures.cpu)).c_str()
                                 : "not pinned to one processor");
    std::fflush(stdout);
    return figures.measuredMs;
}

}  // namespace

int main(int argc, char** argv) {
    bool serial = true;
    bool usb = true;
    std::vector<std::string> adapters = {"", "ftdi:16", "ftdi:1"};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--usb-only") == 0) {
            serial = false;
        } else if (std::strcmp(argv[i], "--serial-only") == 0) {
            usb = false;
        } else if (std::strcmp(argv[i], "--adapter") == 0 && i + 1 < argc) {
            usb = false;
            adapters = {argv[++i]};
        } else {
            const bool help = std::strcmp(argv[i], "--help") == 0;
            std::fprintf(
                help ? stdout : stderr,
                "usage: qx410-bench [--usb-only | --serial-only | --adapter MODEL]\n"
                "Times complete downloads against the camera simulator: over USB, then over the serial "
                "line plain and behind an FTDI adapter at 16 ms and 1 ms (about ten minutes each);\n"
                "--adapter times only the serial download behind that adapter model (qx410-camera-sim "
                "--help lists them).\n");
            return help ? 0 : 2;
        }
    }
    if (!serial && !usb) {
        std::fprintf(stderr, "qx410-bench: --usb-only excludes the serial downloads\n");
        return 2;
    }
    bool ok = true;
    if (usb) {
        ok = MeasureAndPrint(true).has_value() && ok;
    }
    if (!serial) {
        return ok ? 0 : 1;
    }
    std::optional<double> plainMs;
    for (const std::string& adapter : adapters) {
        const std::optional<double> measured = MeasureAndPrint(false, adapter);
        ok = measured.has_value() && ok;
        if (adapter.empty()) {
            plainMs = measured;
        } else if (measured && plainMs) {
            std::printf("  behind %s: %+.3f s against the plain line (ratio %.4f)\n", adapter.c_str(),
                        (*measured - *plainMs) / 1000, *measured / *plainMs);
        }
    }
    return ok ? 0 : 1;
}
