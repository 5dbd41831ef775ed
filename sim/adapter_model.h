// Models of the serial adapter between the camera and the host, as the simulator and the virtual-time
// devices put them on the camera's serial line:
//   pty         the bytes reach the host the moment they are on the line, breaks reach the camera
//   ftdi[:L]    camera bytes are held in the adapter until 62 are buffered (one USB packet's data) or
//               the adapter's free-running latency tick of L ms fires (default 16); the low-latency
//               request of the host is not honoured, so the timer stays L
//   no-break    the adapter cannot send a line break: the host's break request is refused (ENOTTY),
//               and nothing reaches the camera
//   fake-break  the adapter has no break and sends a NUL at 46 baud instead (about 196 ms whatever
//               the length asked); the camera receives a byte at a rate not its own, which it drops,
//               and camera bytes arriving meanwhile are garbled on the host's side (lost)
//   late-byte[:CODE]  the reply to the first command packet with this code (hex, default 1D) reaches
//               the host 3,020 ms after it was on the line: 20 ms after a 3-s reply time-out, and so
//               after any purge the host makes in between (a purge clears only the host's buffers)
//
// AdapterQueue is the adapter's receive buffer in microseconds, so the real-time simulator and the
// millisecond virtual devices share it. In the pty model it hands every byte over at once.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class AdapterKind : uint8_t { Pty, Ftdi, NoBreak, FakeBreak, LateByte };

struct AdapterModel {
    AdapterKind kind = AdapterKind::Pty;
    uint32_t latencyMs = 16;     // ftdi: the latency timer
    uint8_t lateCommand = 0x1D;  // late-byte: the command whose reply is late
    bool reportsFacts = true;    // virtual devices: the port tells its driver and timer (as sysfs would)
};

constexpr uint32_t FTDI_PACKET_DATA_BYTES = 62;
constexpr uint32_t FAKE_BREAK_MS = 196;
constexpr uint32_t FAKE_BREAK_BAUD = 46;
constexpr uint32_t LATE_BYTE_DELAY_MS = 3020;

// "pty", "ftdi", "ftdi:25", "no-break", "fake-break", "late-byte", "late-byte:7f"; nothing when malformed.
std::optional<AdapterModel> ParseAdapterModel(const std::string& text);
// The model as ParseAdapterModel reads it.
std::string AdapterModelName(const AdapterModel& model);
// The kernel driver an adapter of this model would have ("" for a pseudo-terminal).
std::string AdapterDriverName(const AdapterModel& model);

class AdapterQueue {
  public:
    explicit AdapterQueue(const AdapterModel& model) : m_model(model) {}

    // A camera byte whose last bit is on the line at onLineUs; late: held as the late-byte model holds.
    void Arrive(uint8_t value, uint64_t onLineUs, bool late = false);
    // Appends the bytes the adapter has handed to the host by nowUs.
    void Release(uint64_t nowUs, std::vector<uint8_t>& out);
    // When the next byte will be handed over, or nothing when the adapter holds none.
    std::optional<uint64_t> NextReleaseUs() const;
    // Bytes arriving before untilUs are garbled (the fake break's window).
    void GarbleUntil(uint64_t untilUs) { m_garbleUntilUs = untilUs; }

  private:
    struct Held {
        uint8_t value;
        uint64_t atUs;
    };
    // The release time of the front batch and its size.
    std::optional<std::pair<uint64_t, size_t>> FrontBatch() const;

    AdapterModel m_model;
    std::deque<Held> m_held;
    std::deque<Held> m_late;  // late bytes, handed over at their own time
    uint64_t m_garbleUntilUs = 0;
};

}  // namespace sim
