// What the end-to-end tests share: the simulator in a private runtime directory, the camera search, a
// recorded status callback, a deterministic firmware payload and checks on the commands the camera took.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/e2e/sim_process.h"

namespace e2e {

constexpr uint32_t PAYLOAD_SIZE = 0x100000;

// Bytes that differ from block to block and from the erased value, so misplaced blocks show.
inline std::vector<uint8_t> MakePayload(uint32_t seed, size_t size = PAYLOAD_SIZE) {
    std::vector<uint8_t> payload(size);
    for (uint8_t& byte : payload) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(seed >> 24);
    }
    return payload;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Starts the simulator publishing <dir>/qx410fw/<published>, its wire log and summary in dir; returns
// the error, "" when it came up.
inline std::string StartIn(SimProcess& sim, const std::string& dir, std::vector<std::string> arguments,
                           const std::string& published) {
    arguments.insert(arguments.end(), {"--log", dir + "/wire.log"});
    std::string error;
    sim.Start(arguments, dir + "/qx410fw/" + published, dir + "/summary.txt", error);
    return error;
}

// Every COMn but `except` points at a missing target: its open fails at once, and the search stays off
// the machine's own serial ports.
inline bool PointNowhere(const std::string& deviceDir, int except) {
    for (int n = 1; n <= 9; ++n) {
        const std::string entry = deviceDir + "/COM" + std::to_string(n);
        if (n != except && symlink("/nonexistent/qx410-port", entry.c_str()) != 0) {
            return false;
        }
    }
    return true;
}

// The status callback's events as (kind, value, phase).
using StatusEvent = std::tuple<uint32_t, int32_t, int32_t>;

inline std::vector<StatusEvent>& RecordedEvents() {
    static std::vector<StatusEvent> events;
    return events;
}

inline int32_t RecordStatus(uint32_t kind, int32_t value, int32_t phase) {
    RecordedEvents().emplace_back(kind, value, phase);
    return 1;
}

// The search on port finds what a healthy simulated camera gives: version 1.0.6.0 from status bytes 10
// and 0x60, its name padded to 32 characters.
inline void ExpectFound(CCameraSession& session, int16_t port) {
    CameraInfo info;
    char name[40] = {};
    CameraName cameraName;
    cameraName.name = name;
    int32_t notIdentified = -1;
    session.SearchCamera(port, &info, &cameraName, &notIdentified);
    EXPECT_EQ(session.GetResultCode(), 0);
    EXPECT_EQ(notIdentified, 0);
    EXPECT_EQ(info.version, 0x01000600u);
    EXPECT_EQ(std::string(name, 16), "Corva QX410 Zoom");
    EXPECT_EQ(std::strlen(name), 32u);
}

// Every command reaches the camera at least 100 ms after the previous one (each exchange ends after
// its command arrived, and the next command waits 100 ms from that end).
inline void ExpectCommandSpacing(const SimSummary& summary) {
    for (size_t i = 1; i < summary.commands.size(); ++i) {
        EXPECT_GE(summary.commands[i].timeMs - summary.commands[i - 1].timeMs, 100u)
            << "command " << i << " (0x" << std::hex << int{summary.commands[i].code} << ") came too soon";
    }
}

// A private XDG_RUNTIME_DIR for each test, kept when the test fails (wire.log, summary.txt).
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
            std::cerr << "kept " << m_runtimeDir << "\n";
        } else {
            RemoveRuntimeDir(m_runtimeDir);
        }
    }

    std::string DeviceDir() const { return m_runtimeDir + "/qx410fw"; }
    std::string TempFile(const std::string& name) const { return m_runtimeDir + "/" + name; }
    void StartSimulator(const std::vector<std::string>& arguments, const std::string& published) {
        ASSERT_EQ(StartIn(m_sim, m_runtimeDir, arguments, published), "");
    }
    // Stops the simulator, which must end cleanly with its commands spaced as the protocol spaces them.
    SimSummary StopSimulator() {
        SimSummary summary = m_sim.Stop();
        EXPECT_TRUE(summary.valid) << "the simulator did not end cleanly";
        ExpectCommandSpacing(summary);
        return summary;
    }

    std::string m_runtimeDir;
    SimProcess m_sim;
};

}  // namespace e2e
