// The serial adapter models (see adapter_model.h).
#include "sim/adapter_model.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

bool ParseNumber(const std::string& text, int base, uint32_t low, uint32_t high, uint32_t& value) {
    if (text.empty() || text.size() > 6) {
        return false;
    }
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
    if (end == nullptr || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

std::optional<AdapterModel> ParseAdapterModel(const std::string& text) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const bool hasArgument = colon != std::string::npos;
    const std::string argument = hasArgument ? text.substr(colon + 1) : "";
    AdapterModel model;
    if (name == "ftdi") {
        model.kind = AdapterKind::Ftdi;
        // The kernel accepts latency timers of 1..255 ms.
        if (hasArgument && !ParseNumber(argument, 10, 1, 255, model.latencyMs)) {
            return std::nullopt;
        }
        return model;
    }
    if (name == "late-byte") {
        model.kind = AdapterKind::LateByte;
        uint32_t code = model.lateCommand;
        if (hasArgument && !ParseNumber(argument, 16, 0, 255, code)) {
            return std::nullopt;
        }
        model.lateCommand = static_cast<uint8_t>(code);
        return model;
    }
    if (hasArgument) {
        return std::nullopt;
    }
    if (name == "pty") {
        return model;
    }
    if (name == "no-break") {
        model.kind = AdapterKind::NoBreak;
        return model;
    }
    if (name == "fake-break") {
        model.kind = AdapterKind::FakeBreak;
        return model;
    }
    return std::nullopt;
}

std::string AdapterModelName(const AdapterModel& model) {
    switch (model.kind) {
        case AdapterKind::Pty:
            return "pty";
        case AdapterKind::Ftdi:
            return "ftdi:" + std::to_string(model.latencyMs);
        case AdapterKind::NoBreak:
            return "no-break";
        case AdapterKind::FakeBreak:
            return "fake-break";
        case AdapterKind::LateByte: {
            char code[8];
            std::snprintf(code, sizeof code, "%02x", model.lateCommand);
            return std::string("late-byte:") + code;
        }
    }
    return "pty";
}

std::string AdapterDriverName(const AdapterModel& model) {
    switch (model.kind) {
        case AdapterKind::Pty:
            return "";
        case AdapterKind::Ftdi:
        case AdapterKind::LateByte:
            return "ftdi_sio";
        case AdapterKind::NoBreak:
            return "pl2303";
        case AdapterKind::FakeBreak:
            return "ch341";
    }
    return "";
}

void AdapterQueue::Arrive(uint8_t value, uint64_t onLineUs, bool late) {
    if (onLineUs < m_garbleUntilUs) {
        return;
    }
    if (late) {
        m_late.push_back(Held{value, onLineUs + uint64_t{LATE_BYTE_DELAY_MS} * 1000});
        return;
    }
    m_held.push_back(Held{value, onLineUs});
}

// An FTDI adapter sends a USB packet when its 62 data bytes are full, or at the first latency tick
// after the oldest byte it holds; the tick runs freely from the adapter's power-on (time 0 here).
std::optional<std::pair<uint64_t, size_t>> AdapterQueue::FrontBatch() const {
    if (m_held.empty()) {
        return std::nullopt;
    }
    if (m_model.kind != AdapterKind::Ftdi) {
        return std::make_pair(m_held.front().atUs, size_t{1});
    }
    const uint64_t tickUs = uint64_t{m_model.latencyMs} * 1000;
    const uint64_t tick = (m_held.front().atUs / tickUs + 1) * tickUs;
    if (m_held.size() >= FTDI_PACKET_DATA_BYTES && m_held[FTDI_PACKET_DATA_BYTES - 1].atUs <= tick) {
        return std::make_pair(m_held[FTDI_PACKET_DATA_BYTES - 1].atUs, size_t{FTDI_PACKET_DATA_BYTES});
    }
    size_t count = 0;
    while (count < m_held.size() && m_held[count].atUs <= tick) {
        ++count;
    }
    return std::make_pair(tick, count);
}

void AdapterQueue::Release(uint64_t nowUs, std::vector<uint8_t>& out) {
    while (!m_late.empty() && m_late.front().atUs <= nowUs) {
        out.push_back(m_late.front().value);
        m_late.pop_front();
    }
    for (;;) {
        const std::optional<std::pair<uint64_t, size_t>> batch = FrontBatch();
        if (!batch || batch->first > nowUs) {
            return;
        }
        for (size_t i = 0; i < batch->second; ++i) {
            out.push_back(m_held.front().value);
            m_held.pop_front();
        }
    }
}

std::optional<uint64_t> AdapterQueue::NextReleaseUs() const {
    std::optional<uint64_t> next;
    if (const std::optional<std::pair<uint64_t, size_t>> batch = FrontBatch()) {
        next = batch->first;
    }
    if (!m_late.empty() && (!next || m_late.front().atUs < *next)) {
        next = m_late.front().atUs;
    }
    return next;
}

}  // namespace sim
