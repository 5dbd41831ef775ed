// The simulator programs' closing report (see summary.h).
#include "sim/summary.h"

#include <cstdio>
#include <optional>

#include "sim/sha256.h"

namespace sim {

namespace {

std::string FormatHex16(const std::optional<uint16_t>& value) {
    if (!value.has_value()) {
        return "none";
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", *value);
    return text;
}

}  // namespace

bool WriteFlash(const std::string& path, const std::vector<uint8_t>& flash) {
    const std::string temporary = path + ".part";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

void PrintSummary(const CameraModel& model) {
    const std::vector<CommandRecord>& commands = model.Commands();
    std::printf("commands: %zu\n", commands.size());
    for (const CommandRecord& command : commands) {
        std::printf("command: %u %02x %02x %02x %02x %02x %02x %02x\n", command.timeMs, command.code,
                    command.params[0], command.params[1], command.params[2], command.params[3],
                    command.params[4], command.params[5]);
    }
    const std::vector<uint32_t>& blocks = model.BlocksWritten();
    std::printf("blocks-written: %zu\n", blocks.size());
    if (!blocks.empty()) {
        std::printf("blocks-first-last: %u %u\n", blocks.front(), blocks.back());
    }
    std::printf("data-packets-refused: %u\n", model.DataPacketsRefused());
    std::printf("erase-commands: %u\n", model.EraseCommands());
    std::printf("access-strings: %u\n", model.AccessStringsSeen());
    std::printf("checksum-received: %s\n", FormatHex16(model.ChecksumReceived()).c_str());
    std::printf("checksum-computed: %s\n", FormatHex16(model.ChecksumComputed()).c_str());
    std::printf("flash-sha256: %s\n", Sha256Hex(model.Flash().data(), model.Flash().size()).c_str());
    std::printf("speeds-used:");
    for (int code : model.SpeedsUsed()) {
        std::printf(" %d", code);
    }
    std::printf("\nunlocked: %s\n", model.Unlocked() ? "yes" : "no");
    std::printf("reset: %s\n", model.ResetSeen() ? "yes" : "no");
    std::fflush(stdout);
}

}  // namespace sim
