// The simulator's wire log: buffered text lines, one per transfer or event.
#include "sim/byte_log.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace sim {

uint64_t NowUs() {
    static const uint64_t start = [] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    }();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t us =
        static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    return us - start;
}

ByteLog::~ByteLog() {
    if (m_file != nullptr && m_ownsFile) {
        fclose(m_file);
    }
}

bool ByteLog::OpenFile(const std::string& path, std::string& error) {
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write the log " + path + ": " + std::strerror(errno);
        return false;
    }
    // Line by line, so that the log is complete up to the moment even if the simulator is killed.
    setvbuf(file, nullptr, _IOLBF, 0);
    m_file = file;
    m_ownsFile = true;
    return true;
}

void ByteLog::WriteTime(uint64_t timeUs) {
    fprintf(m_file, "%llu.%06llu", static_cast<unsigned long long>(timeUs / 1000000u),
            static_cast<unsigned long long>(timeUs % 1000000u));
}

void ByteLog::Bytes(uint64_t timeUs, const char* direction, uint32_t baud, const uint8_t* data, size_t count,
                    bool lost) {
    if (m_file == nullptr || count == 0) {
        return;
    }
    WriteTime(timeUs);
    fprintf(m_file, " %s %u%s", direction, baud, lost ? " lost" : "");
    for (size_t i = 0; i < count; ++i) {
        fprintf(m_file, " %02x", data[i]);
    }
    fputc('\n', m_file);
}

void ByteLog::Event(uint64_t timeUs, const std::string& text) {
    if (m_file == nullptr) {
        return;
    }
    WriteTime(timeUs);
    fprintf(m_file, " # %s\n", text.c_str());
}

void ByteLog::Flush() {
    if (m_file != nullptr) {
        fflush(m_file);
    }
}

}  // namespace sim
