// The step shared by both links: host bytes into the camera model, with the log of what was heard.
#include "sim/endpoint.h"

#include <cstdio>

namespace sim {

void CameraWire::FeedHost(const uint8_t* data, size_t count, uint64_t timeUs, uint32_t hostBaud) {
    if (count == 0) {
        return;
    }
    m_phaseUs = timeUs % 1000;
    const size_t heard = m_model.Receive(data, count, ModelTime(timeUs), hostBaud);
    // The model hears all of a run or none of it (a rate mismatch, a break or a silent camera).
    m_log.Bytes(timeUs, "H>C", hostBaud, data, count, heard < count);
    const std::vector<CommandRecord>& commands = m_model.Commands();
    for (; m_commandsLogged < commands.size(); ++m_commandsLogged) {
        const CommandRecord& command = commands[m_commandsLogged];
        char text[128];
        snprintf(text, sizeof text, "command %02x %02x %02x %02x %02x %02x %02x at %u (camera time %u ms)",
                 command.code, command.params[0], command.params[1], command.params[2], command.params[3],
                 command.params[4], command.params[5], hostBaud, command.timeMs);
        m_log.Event(timeUs, text);
    }
}

uint32_t CameraWire::ModelTime(uint64_t timeUs) const {
    return ModelMs(timeUs >= m_phaseUs ? timeUs - m_phaseUs : 0);
}

uint64_t CameraWire::WireTimeUs(uint32_t modelMs) const {
    return static_cast<uint64_t>(modelMs) * 1000u + m_phaseUs;
}

}  // namespace sim
