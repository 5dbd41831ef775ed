// Shared pieces of the protocol tests: a camera session against camera models on virtual-time devices,
// the records a search fills, and helpers that read the wire log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/clock.h"
#include "protocol/camera_session.h"
#include "sim/virtual_devices.h"

namespace qxtest {

inline const std::string USB_DEVICE_1 = "\\\\.\\QX410U-001";
// A value no search writes into the notIdentified word.
constexpr int32_t UNTOUCHED = 77;

class VirtualSessionTest : public ::testing::Test {
  protected:
    VirtualClock m_clock{1000};
    ScopedClock m_scopedClock{m_clock};
    sim::VirtualDevices m_devices{m_clock};
    CCameraSession m_session{m_devices};
    CameraInfo m_info;
    char m_text[CAMERA_NAME_BUFFER_SIZE] = {};
    CameraName m_name{{}, m_text};
    int32_t m_notIdentified = UNTOUCHED;

    void Search(int16_t port) { m_session.SearchCamera(port, &m_info, &m_name, &m_notIdentified); }

    // Attaches a camera on COM1 or the USB device and finds it as the workflow does; the wire log then
    // starts empty.
    sim::CameraModel& FindCamera(int16_t port, const sim::CameraConfig& config = {}) {
        sim::CameraModel& camera = port == PORT_USB ? m_devices.AttachUsbCamera(USB_DEVICE_1, config)
                                                    : m_devices.AttachSerialCamera("COM1", config);
        Search(port);
        EXPECT_EQ(m_session.GetResultCode(), 0);
        EXPECT_EQ(m_notIdentified, 0);
        m_devices.ClearWireLog();
        return camera;
    }

    // Opens COM1 for a command-level test, as the search leaves it: serial kind, 9600 baud, 3 attempts.
    void OpenSerial() {
        m_session.m_portKind = PORT_KIND_SERIAL;
        ASSERT_EQ(m_session.OpenSerialPort(1), LINK_OK);
    }

    // Host writes on this device ("" for every device); with a code, only command packets with that code.
    std::vector<sim::WireRecord> HostWrites(const std::string& device, int code = -1) const {
        std::vector<sim::WireRecord> writes;
        for (const sim::WireRecord& r : m_devices.WireLog()) {
            const bool command = r.bytes.size() == 8 && r.bytes[7] == 0x1A;
            if (r.kind == sim::WireKind::HostToCamera && (device.empty() || r.device == device) &&
                (code < 0 || (command && (code > 0xFF || r.bytes[0] == code)))) {
                writes.push_back(r);
            }
        }
        return writes;
    }
    std::vector<sim::WireRecord> CommandWrites(const std::string& device, uint8_t code) const {
        return HostWrites(device, code);
    }
    size_t WritesOfSize(const std::string& device, size_t size) const {
        const auto writes = HostWrites(device);
        return static_cast<size_t>(std::count_if(writes.begin(), writes.end(),
                                                 [&](const auto& r) { return r.bytes.size() == size; }));
    }
    size_t Breaks() const {
        const auto& log = m_devices.WireLog();
        return static_cast<size_t>(std::count_if(
            log.begin(), log.end(), [](const auto& r) { return r.kind == sim::WireKind::BreakOn; }));
    }

    // The command codes the host sent on every device, in hex, runs of one code as "1D*99".
    std::string CodesSent() const {
        std::vector<uint8_t> codes;
        for (const sim::WireRecord& record : HostWrites("", 0x100)) {
            codes.push_back(record.bytes[0]);
        }
        std::string text;
        for (size_t i = 0, run = 1; i < codes.size(); i += run, run = 1) {
            while (i + run < codes.size() && codes[i + run] == codes[i]) {
                ++run;
            }
            char item[16];
            std::snprintf(item, sizeof item, run > 1 ? " %02X*%zu" : " %02X", codes[i], run);
            text += item;
        }
        return text.empty() ? text : text.substr(1);
    }
};

}  // namespace qxtest
