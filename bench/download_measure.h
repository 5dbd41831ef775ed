// One complete firmware download against the paced camera simulator, timed and compared with the
// protocol's floor for the exchange the simulator saw, with the updater's CPU time over it. Used by
// qx410-bench and by the long test that holds the ratio and the CPU share to their bounds.
#pragma once

#include <string>

#include "bench/exchange_floor.h"

namespace bench {

struct DownloadFigures {
    bool valid = false;
    std::string error;
    double measuredMs = 0;  // from the first download command to the return after the reset
    DownloadFloor floor;
    double cpuMs = 0;  // the updater's (this process's) CPU time over the download
    long peakMemoryKiB = 0;
    int cpu = -1;  // the one processor the updater and the simulator ran on (-1: not pinned)
    double Ratio() const { return measuredMs / floor.TotalMs(); }
    double CpuShare() const { return cpuMs / measuredMs; }
};

// Runs one download over USB or the serial link (about nine minutes) in a private device directory,
// with the updater and the simulator on one processor. adapter: the simulator's serial adapter model
// ("" for the plain pseudo-terminal line; see sim/adapter_model.h).
DownloadFigures MeasureDownload(bool usb, const std::string& adapter = "");

}  // namespace bench
