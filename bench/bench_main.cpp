// qx410-bench: times complete firmware downloads against the camera simulator, with every byte paced at
// the line rate, and compares each with the least time the protocol allows for the exchange the
// simulator saw. Also reports the updater's CPU time, its share of the download's wall time, and peak
// memory.
//
//   qx410-bench [--serial-only | --usb-only | --help]
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/download_measure.h"

namespace {

// One download over one link; prints its lines of results. False when it could not be measured.
bool MeasureAndPrint(bool usb) {
    const char* linkName = usb ? "USB" : "serial";
    const bench::DownloadFigures figures = bench::MeasureDownload(usb);
    if (!figures.valid) {
        std::fprintf(stderr, "qx410-bench: %s: %s\n", linkName, figures.error.c_str());
        return false;
    }
    const bench::DownloadFloor& floor = figures.floor;
    std::printf(
        "%s download: update time %.3f s, floor %.3f s, ratio %.4f, CPU time %.2f s, CPU share %.2f%%\n",
        linkName, figures.measuredMs / 1000, floor.TotalMs() / 1000, figures.Ratio(), figures.cpuMs / 1000,
        100 * figures.CpuShare());
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
        ok = MeasureAndPrint(true) && ok;
    }
    if (serial) {
        ok = MeasureAndPrint(false) && ok;
    }
    return ok ? 0 : 1;
}
