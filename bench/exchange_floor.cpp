// The download floor from the simulator's wire log (format in sim/byte_log.h).
//
// The download runs, per command: the spacing or pause before it, its bytes, the camera's answer times,
// and any pause the updater must make after the acknowledgement:
//   serial: speed (to 115200), pause 200, erase, speed again, 4096 x block write, pause 500, checksum,
//           pause 500, speed (to 9600), pauses 500 + 1000, reset, pause 200 at the end
//   USB:    16 x (pause 200, erase), 248 x block write, pause 500, checksum, pause 1000, reset, pause 200
//           at the end
// Every other command waits the 100 ms spacing from the end of the previous exchange.
#include "bench/exchange_floor.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "wire/byte_codes.h"
#include "wire/timing.h"

namespace bench {
namespace {

constexpr double SPACING_MS = wire::COMMAND_SPACING_MS;
constexpr double SPEED_SETTLE_MS = wire::SPEED_SWITCH_PAUSE_MS;  // after the speed command's acknowledgement
constexpr double ERASE_PAUSE_MS = wire::ERASE_PAUSE_MS;          // after the erase command's acknowledgement
// Before the checksum's acknowledgement is read, then before its completion byte.
constexpr double CHECKSUM_PAUSE_MS = wire::SLOW_ACK_PAUSE_MS + wire::CHECKSUM_VERIFY_PAUSE_MS;
constexpr double RESET_PAUSE_MS = wire::SLOW_ACK_PAUSE_MS;  // before the reset's acknowledgement is read
constexpr double END_PAUSE_MS = wire::RESET_SETTLE_MS;      // after the reset, before the download returns

struct Entry {
    bool isCommand = false;
    uint8_t code = 0;
    uint32_t baud = 0;
    uint64_t count = 0;  // bytes of a byte line
};

bool ParseTimes(const std::string& line, CameraTimes& times) {
    const size_t at = line.find("# times ");
    if (at == std::string::npos) {
        return false;
    }
    unsigned ack = 0, ready = 0, completion = 0, access = 0, erase = 0, block = 0, checksum = 0, reset = 0;
    if (std::sscanf(line.c_str() + at,
                    "# times ack=%u ready=%u completion=%u access=%u erase=%u block=%u "
                    "checksum=%u reset=%u",
                    &ack, &ready, &completion, &access, &erase, &block, &checksum, &reset) != 8) {
        return false;
    }
    times.ackMs = ack;
    times.eraseMs = erase;
    times.blockWriteMs = block;
    times.checksumMs = checksum;
    times.resetMs = reset;
    return true;
}

// The mandated pause before a command, given the one before it in the download (0 for the first).
double PauseBefore(uint8_t code, uint8_t previous, bool usb) {
    if (previous == 0) {
        return usb ? wire::ERASE_LEAD_MS
                   : 0;  // USB: the pause before the first erase; serial: the spacing has long passed
    }
    switch (code) {
        case wire::CMD_ERASE_BLOCKS:
            return wire::ERASE_LEAD_MS;
        case wire::CMD_CHECKSUM:
            return wire::CHECKSUM_LEAD_MS;
        case wire::CMD_SET_SPEED:
            return previous == wire::CMD_CHECKSUM ? wire::SPEED_BACK_PAUSE_MS : SPACING_MS;
        case wire::CMD_RESET:
            return usb ? wire::RESET_LEAD_MS : wire::SPEED_BACK_PAUSE_MS + wire::RESET_LEAD_MS;
        default:
            return SPACING_MS;
    }
}

// Mandated pauses after the command, and the camera's times that are not hidden under them.
void AddAfter(uint8_t code, const CameraTimes& times, DownloadFloor& floor) {
    switch (code) {
        case wire::CMD_SET_SPEED:
            floor.cameraMs += times.ackMs;
            floor.waitsMs += SPEED_SETTLE_MS;
            return;
        case wire::CMD_ERASE_BLOCKS:
            floor.cameraMs += times.ackMs + std::max(0.0, times.eraseMs - ERASE_PAUSE_MS);
            floor.waitsMs += ERASE_PAUSE_MS;
            return;
        case wire::CMD_WRITE_BLOCK:
            floor.cameraMs += 2 * times.ackMs + times.blockWriteMs;  // command ack, data ack, write
            return;
        case wire::CMD_CHECKSUM:
            floor.cameraMs += std::max(0.0, times.ackMs + times.checksumMs - CHECKSUM_PAUSE_MS);
            floor.waitsMs += CHECKSUM_PAUSE_MS;
            return;
        case wire::CMD_RESET:
            floor.cameraMs += std::max(0.0, times.ackMs + times.resetMs - RESET_PAUSE_MS);
            floor.waitsMs += RESET_PAUSE_MS;
            return;
        default:
            floor.cameraMs += times.ackMs;
            return;
    }
}

}  // namespace

DownloadFloor ComputeDownloadFloor(const std::string& logText, bool usb) {
    DownloadFloor floor;
    CameraTimes times;
    bool haveTimes = false;
    std::vector<Entry> entries;
    std::istringstream lines(logText);
    std::string line;
    while (std::getline(lines, line)) {
        if (!haveTimes && ParseTimes(line, times)) {
            haveTimes = true;
            continue;
        }
        Entry entry;
        unsigned code = 0;
        unsigned baud = 0;
        const size_t commandAt = line.find("# command ");
        if (commandAt != std::string::npos) {
            if (std::sscanf(line.c_str() + commandAt, "# command %x", &code) != 1) {
                continue;
            }
            const size_t rateAt = line.find(" at ");
            if (rateAt == std::string::npos || std::sscanf(line.c_str() + rateAt, " at %u", &baud) != 1) {
                continue;
            }
            entry.isCommand = true;
            entry.code = static_cast<uint8_t>(code);
            entry.baud = baud;
            entries.push_back(entry);
            continue;
        }
        std::istringstream fields(line);
        std::string time, direction, token;
        if (!(fields >> time >> direction >> baud) || (direction != "H>C" && direction != "C>H")) {
            continue;
        }
        entry.baud = baud;
        while (fields >> token) {
            entry.count += token == "lost" ? 0 : 1;
        }
        entries.push_back(entry);
    }
    if (!haveTimes) {
        floor.error = "the log has no camera times";
        return floor;
    }

    // The download starts at its first erase (USB) or at the speed command before it (serial).
    size_t first = entries.size();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].isCommand && entries[i].code == wire::CMD_ERASE_BLOCKS) {
            first = i;
            break;
        }
    }
    if (!usb) {
        while (first < entries.size() && first > 0 &&
               !(entries[first].isCommand && entries[first].code == wire::CMD_SET_SPEED)) {
            --first;
        }
    }
    if (first >= entries.size()) {
        floor.error = "no download in the log";
        return floor;
    }
    // The command's own bytes are on the line just before its entry.
    const size_t firstBytes = first > 0 && !entries[first - 1].isCommand ? first - 1 : first;

    uint8_t previous = 0;
    bool sawReset = false;
    for (size_t i = firstBytes; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (!entry.isCommand) {
            floor.bytes += entry.count;
            if (entry.baud != 0) {
                floor.bytesMs += static_cast<double>(entry.count) * 10000.0 / entry.baud;
            }
            continue;
        }
        floor.waitsMs += PauseBefore(entry.code, previous, usb);
        AddAfter(entry.code, times, floor);
        ++floor.commands;
        previous = entry.code;
        sawReset |= entry.code == wire::CMD_RESET;
    }
    if (!sawReset) {
        floor.error = "the download in the log did not reach the reset";
        return floor;
    }
    floor.waitsMs += END_PAUSE_MS;
    floor.valid = true;
    return floor;
}

}  // namespace bench
