// What the simulator's event loop drives: one published link (the serial pseudo-terminal or the USB
// driver socket) in front of the camera model, and the shared step that hands host bytes to the model.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/byte_log.h"
#include "sim/camera_model.h"

namespace sim {

// Hands host bytes to the model and logs them (heard or lost) and any command the camera took; keeps
// the model's millisecond clock in step with the wire's microseconds.
//
// The model counts whole milliseconds. Each arrival of host bytes starts a model millisecond exactly
// (the model's milliseconds begin that many microseconds into the wire's), so the camera answers its
// stated times after the host's bytes to the microsecond, as a real camera does, instead of up to half a
// millisecond early or late. Model time never runs backwards: an arrival moves it on by at most one
// millisecond, and an answer already due is sent at most that much earlier or later.
class CameraWire {
  public:
    CameraWire(CameraModel& model, ByteLog& log) : m_model(model), m_log(log) {}
    void FeedHost(const uint8_t* data, size_t count, uint64_t timeUs, uint32_t hostBaud);
    CameraModel& Model() { return m_model; }
    ByteLog& Log() { return m_log; }
    // The model's millisecond at a wire time, and the wire time at which a model millisecond begins.
    uint32_t ModelTime(uint64_t timeUs) const;
    uint64_t WireTimeUs(uint32_t modelMs) const;

  private:
    CameraModel& m_model;
    ByteLog& m_log;
    size_t m_commandsLogged = 0;
    uint64_t m_phaseUs = 0;  // 0..999: where in a wire millisecond the model's milliseconds begin
};

class IEndpoint {
  public:
    virtual ~IEndpoint() = default;
    // Removes what was published and closes every descriptor. Safe to call twice.
    virtual void Close() = 0;
    // Adds the descriptors to watch, with the events wanted.
    virtual void AddPollFds(std::vector<pollfd>& fds) = 0;
    // Handles what poll reported for the descriptors added from index `first` on. False on a failure
    // that ends the simulator.
    virtual bool HandlePoll(const std::vector<pollfd>& fds, size_t first, uint64_t nowUs) = 0;
    // Moves bytes that are due between the host and the model.
    virtual void Service(uint64_t nowUs) = 0;
    // When Service next has something to do, if anything.
    virtual std::optional<uint64_t> NextWakeUs() const = 0;
    // True while camera bytes wait to be handed to the host.
    virtual bool HasPendingOutput() const = 0;
};

}  // namespace sim
