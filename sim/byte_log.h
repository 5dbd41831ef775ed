// The simulator's record of the wire: every byte in and out with its time and line rate, plus events
// (line speed changes, purges, breaks, USB requests, commands as the camera took them).
//
// One entry a line, times in seconds since the simulator started, with microseconds:
//   12.345678 H>C 115200 1d 00 00 05 00 01 00 1a      host bytes the camera heard
//   12.345678 H>C 9600 lost 7f ...                    host bytes sent at another rate than the camera's
//   12.347001 C>H 115200 d1                           camera bytes the host received
//   12.347001 C>H 9600 lost d1                        camera bytes lost to a rate mismatch
//   12.345678 # command 1d 00 00 05 00 01 00 at 115200 (camera time 12345 ms)
//   12.000000 # <any other event>
// Rate 0 means the USB link (no line rate). The benchmark reads this format back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

// Microseconds on the monotonic clock since the simulator started.
uint64_t NowUs();
// The camera model's millisecond time for a microsecond time.
inline uint32_t ModelMs(uint64_t us) {
    return static_cast<uint32_t>(us / 1000);
}

class ByteLog {
  public:
    ByteLog() = default;
    ~ByteLog();
    ByteLog(const ByteLog&) = delete;
    ByteLog& operator=(const ByteLog&) = delete;

    // Logs to a file (created or truncated), to stderr, or nowhere.
    bool OpenFile(const std::string& path, std::string& error);
    void UseStderr() { m_file = stderr; }
    bool Enabled() const { return m_file != nullptr; }

    void Bytes(uint64_t timeUs, const char* direction, uint32_t baud, const uint8_t* data, size_t count,
               bool lost);
    void Event(uint64_t timeUs, const std::string& text);
    void Flush();

  private:
    void WriteTime(uint64_t timeUs);

    FILE* m_file = nullptr;
    bool m_ownsFile = false;
};

}  // namespace sim
