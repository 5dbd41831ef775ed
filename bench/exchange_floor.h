// The least time a firmware download can take, worked out from the exchange the simulator logged: the
// pauses the protocol mandates before and after each command, every byte at its line rate, and the
// camera's own stated response times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The camera's stated response times, as the simulator's log header gives them.
struct CameraTimes {
    double ackMs = 0;
    double eraseMs = 0;
    double blockWriteMs = 0;
    double checksumMs = 0;
    double resetMs = 0;
};

struct DownloadFloor {
    bool valid = false;
    std::string error;
    uint32_t commands = 0;  // commands of the download, from the first to the reset
    uint64_t bytes = 0;     // bytes on the wire in both directions
    double waitsMs = 0;     // pauses and spacings the protocol mandates
    double bytesMs = 0;     // every byte at its line rate (10 bits a byte; nothing on USB)
    double cameraMs = 0;    // the camera's stated response times not hidden under a mandated pause
    double TotalMs() const { return waitsMs + bytesMs + cameraMs; }
};

// Parses the simulator's wire log text; usb selects the USB download's sequence.
DownloadFloor ComputeDownloadFloor(const std::string& logText, bool usb);

}  // namespace bench
