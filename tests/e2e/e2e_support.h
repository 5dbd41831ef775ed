// What the end-to-end tests share: a private device directory with a running simulator, a recorded
// status callback and a deterministic firmware payload.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/e2e/sim_process.h"

namespace e2e {

constexpr uint32_t PAYLOAD_SIZE = 0x100000;

// Bytes that differ from block to block and from the erased value, so misplaced blocks show.
inline std::vector<uint8_t> MakePayload(uint32_t seed) {
    std::vector<uint8_t> payload(PAYLOAD_SIZE);
    uint32_t state = seed;
    for (uint8_t& byte : payload) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return payload;
}

struct StatusEvent {
    uint32_t kind;
    int32_t value;
    int32_t phase;
    bool operator==(const StatusEvent& other) const {
        return kind == other.kind && value == other.value && phase == other.phase;
    }
};

inline std::vector<StatusEvent>& RecordedEvents() {
    static std::vector<StatusEvent> events;
    return events;
}

inline int32_t RecordStatus(uint32_t kind, int32_t value, int32_t phase) {
    RecordedEvents().push_back(StatusEvent{kind, value, phase});
    return 1;
}

inline void PrintTo(const StatusEvent& event, std::ostream* out) {
    *out << "(" << event.kind << ", " << event.value << ", " << event.phase << ")";
}

// A private XDG_RUNTIME_DIR for each test, removed afterwards; the simulator is stopped first.
class SimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_runtimeDir = MakePrivateRuntimeDir();
        ASSERT_FALSE(m_runtimeDir.empty()) << "cannot make a private runtime directory";
        RecordedEvents().clear();
    }
    void TearDown() override {
        m_sim.Stop();
        if (HasFailure()) {
            // The wire log and the summary stay for inspection.
            std::cerr << "kept " << m_runtimeDir << " (wire.log, summary.txt)\n";
            return;
        }
        RemoveRuntimeDir(m_runtimeDir);
    }

    std::string DeviceDir() const { return m_runtimeDir + "/qx410fw"; }
    std::string TempFile(const std::string& name) const { return m_runtimeDir + "/" + name; }

    // Starts the simulator; the test fails (fatally) when it does not come up.
    void StartSimulator(std::vector<std::string> arguments, const std::string& publishedName) {
        arguments.push_back("--log");
        arguments.push_back(TempFile("wire.log"));
        std::string error;
        ASSERT_TRUE(m_sim.Start(arguments, DeviceDir() + "/" + publishedName, TempFile("summary.txt"), error))
            << error;
    }

    SimSummary StopSimulator() {
        SimSummary summary = m_sim.Stop();
        EXPECT_TRUE(summary.valid) << "the simulator did not end cleanly";
        return summary;
    }

    std::string m_runtimeDir;
    SimProcess m_sim;
};

// Codes of the commands in the order the camera took them.
inline std::vector<uint8_t> CommandCodes(const SimSummary& summary) {
    std::vector<uint8_t> codes;
    for (const SeenCommand& command : summary.commands) {
        codes.push_back(command.code);
    }
    return codes;
}

// Every command reaches the camera at least 100 ms after the previous one (each exchange ends after
// its command arrived, and the next command waits 100 ms from that end).
inline void ExpectCommandSpacing(const SimSummary& summary) {
    for (size_t i = 1; i < summary.commands.size(); ++i) {
        EXPECT_GE(summary.commands[i].timeMs - summary.commands[i - 1].timeMs, 100u)
            << "command " << i << " (0x" << std::hex << int{summary.commands[i].code} << ") came too soon";
    }
}

}  // namespace e2e
