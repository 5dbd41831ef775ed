// The updater's real USB path (controller, session, USB link, the libusb driver) against cameras on an
// emulated USB bus: umockdev's testbed holds the sysfs devices and usbfs nodes, and the camera model
// answers the URBs libusb submits (sim/usb_emulation.h). The device directory holds no driver socket,
// so "\\.\QX410U-NNN" resolves to the attached cameras. Runs only under umockdev's preload library.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/firmware_image.h"
#include "app/update_controller.h"
#include "cli/ports.h"
#include "common/byte_order.h"
#include "platform/device_namespace.h"
#include "platform/devices.h"
#include "platform/libusb_usb_driver.h"
#include "platform/system_devices.h"
#include "platform/usb_cameras.h"
#include "protocol/camera_session.h"
#include "res/strings.h"
#include "sim/usb_emulation.h"
#include "tests/app/scripted_ui.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/scoped_runtime_dir.h"
#include "wire/byte_codes.h"
#include "wire/usb_device_name.h"
#include "wire/usb_driver.h"

namespace {

using Steady = std::chrono::steady_clock;

// The part of the payload a USB download writes: 248 blocks of 4096 bytes.
constexpr size_t USB_WRITTEN = 1015808;
constexpr uint8_t READ_PIPE = 0x82;

class EmulatedUsbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::UsbEmulation::InMockEnvironment()) {
            GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it)";
        }
        // COM1..COM9 lead nowhere, so a search never reaches the machine's own serial ports.
        ASSERT_TRUE(e2e::PointNowhere(m_runtime.DeviceDirectory(), 0));
        m_emulation = std::make_unique<sim::UsbEmulation>();
        e2e::RecordedEvents().clear();
    }

    // A good image for the camera (version 2.10, so no same-version prompt); returns its payload.
    std::vector<uint8_t> WriteImage() {
        std::vector<uint8_t> image = e2e::MakePayload(410, FIRMWARE_IMAGE_SIZE);
        std::memcpy(image.data(), IDENTIFICATION_QX410, 48);
        std::memcpy(image.data() + VERSION_OFFSET, "x210", VERSION_LENGTH);
        std::ofstream(ImagePath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        return std::vector<uint8_t>(image.begin() + FIRMWARE_HEADER_SIZE, image.end());
    }
    std::string ImagePath() const { return m_runtime.Root() + "/update.fw"; }

    // One whole update as the user runs it; the last prompt or message the user saw, and the cause the
    // outcome dialog was given.
    std::string RunUpdate(int16_t port, HostCause* cause = nullptr, platform::IDevices* devices = nullptr) {
        CUpdateController controller(devices != nullptr ? *devices : m_devices);
        ScriptedUi ui;
        ui.controller = &controller;
        ui.portChoice = port;
        ui.fileAnswers.push_back({FileDialogResult::Chosen, ImagePath()});
        ui.messageAnswers = {DIALOG_OK, DIALOG_OK, DIALOG_OK};
        controller.SetStatus(STATUS_LINE_PORT_PROMPT);
        controller.RunUpdate(ui);
        if (cause != nullptr) {
            *cause = ui.lastCause;
        }
        const std::vector<std::string> prompts = ui.Prompts();
        return prompts.empty() ? "nothing" : prompts.back();
    }

    static std::string Message(int id, uint32_t text) {
        return "message " + std::to_string(id) + " " + res::LoadString(text);
    }

    testsupport::ScopedRuntimeDir m_runtime;
    std::unique_ptr<sim::UsbEmulation> m_emulation;
    // The devices of one run of the program on this test's bus: a libusb context follows the bus it was
    // made on, so each test's run has its own (and it goes before the bus does).
    platform::SystemDeviceSet m_devices;
};

// The camera model's record of a finished download.
struct Outcome {
    std::vector<uint8_t> flash;
    bool checksumMatches = false;
    bool reset = false;
    size_t blocks = 0;
};

Outcome OutcomeOf(sim::EmulatedUsbCamera& camera) {
    Outcome outcome;
    camera.WithModel([&](sim::CameraModel& model) {
        outcome.flash = model.Flash();
        outcome.checksumMatches =
            model.ChecksumReceived().has_value() && model.ChecksumReceived() == model.ChecksumComputed();
        outcome.reset = model.ResetSeen();
        outcome.blocks = model.BlocksWritten().size();
    });
    return outcome;
}

// (a) A complete update through libusb: the payload's written part in flash, the checksum taken, the
// camera reset, and the success message.
TEST_F(EmulatedUsbTest, CompleteUpdateThroughLibusb) {
    sim::EmulatedUsbCamera& camera = m_emulation->AddCamera({});
    const std::vector<uint8_t> payload = WriteImage();
    const Steady::time_point start = Steady::now();
    const std::string ending = RunUpdate(PORT_USB);
    std::cout << "complete emulated USB update: "
              << std::chrono::duration<double>(Steady::now() - start).count() << " s\n";
    EXPECT_TRUE(ending.starts_with("message 104 ")) << ending;

    const Outcome outcome = OutcomeOf(camera);
    ASSERT_EQ(outcome.flash.size(), payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + USB_WRITTEN, outcome.flash.begin()))
        << "the flash differs from the payload in the written part";
    EXPECT_TRUE(outcome.checksumMatches);
    EXPECT_TRUE(outcome.reset);
}

// (b) Two cameras: numbered by bus, then port path, whatever order they were plugged in; AUTO finds
// the first and leaves the second alone.
TEST_F(EmulatedUsbTest, TwoCamerasAreNumberedByPortAndAutoFindsTheFirst) {
    sim::EmulatedUsbCamera& second = m_emulation->AddCamera({}, {.sysfsName = "1-3", .deviceNumber = 4});
    sim::EmulatedUsbCamera& first = m_emulation->AddCamera({}, {.sysfsName = "1-1.2", .deviceNumber = 7});
    EXPECT_EQ(platform::FindUsbCamera(1)->sysfsName, "1-1.2");
    EXPECT_EQ(platform::FindUsbCamera(2)->sysfsName, "1-3");
    EXPECT_FALSE(platform::FindUsbCamera(3).has_value());

    CCameraSession session(m_devices);
    e2e::ExpectFound(session, PORT_AUTO);
    EXPECT_EQ(session.m_usbInstance, 1);
    EXPECT_STREQ(session.m_devicePath, "\\\\.\\QX410U-001");
    size_t firstCommands = 0, secondCommands = 0;
    first.WithModel([&](sim::CameraModel& model) { firstCommands = model.Commands().size(); });
    second.WithModel([&](sim::CameraModel& model) { secondCommands = model.Commands().size(); });
    EXPECT_GT(firstCommands, 0u);
    EXPECT_EQ(secondCommands, 0u);
    session.EndSession();
}

// One driver READ of count bytes on a fresh open of instance 001; the bytes, or nothing on failure.
std::optional<std::vector<uint8_t>> ReadOnce(platform::IDevices& devices, uint32_t count) {
    int errorNumber = 0;
    std::unique_ptr<platform::IUsbConnection> connection =
        devices.OpenUsbDevice("\\\\.\\QX410U-001", errorNumber);
    if (!connection) {
        return std::nullopt;
    }
    std::vector<uint8_t> buffer(count + 4, 0);
    StoreLe32(buffer.data(), READ_PIPE);
    if (!connection->Request(wire::IOCTL_CAMERA_READ, buffer.data(), count + 4)) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(buffer.begin() + 4, buffer.end());
}

// (c) A 1-byte read answered with a longer bulk packet: the rest is kept for the device and the next
// read, on a new open as every session operation makes, gets it without another transfer. A kernel
// driver bound to the camera is detached for each open and given back at each close.
TEST_F(EmulatedUsbTest, BytesBeyondAReadAreKeptAcrossReopens) {
    sim::EmulatedUsbCamera& camera = m_emulation->AddCamera({});
    camera.ScriptInPackets({{0xD2, 0x11, 0x22, 0x33}, {0x44}});
    camera.BindKernelDriver();
    EXPECT_EQ(ReadOnce(m_devices, 1), std::vector<uint8_t>{0xD2});
    EXPECT_EQ(camera.InTransfersSubmitted(), 1u);
    EXPECT_EQ(ReadOnce(m_devices, 2), (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_EQ(camera.InTransfersSubmitted(), 1u) << "kept bytes must not wait for a new transfer";
    EXPECT_EQ(ReadOnce(m_devices, 2), (std::vector<uint8_t>{0x33, 0x44}));
    EXPECT_EQ(camera.InTransfersSubmitted(), 2u);
    EXPECT_EQ(camera.KernelDriverDetaches(), 3u);
    EXPECT_TRUE(camera.KernelDriverBound());
}

// (d) The camera unplugged during the download, while a read waits for the erase's completion: the
// failure message soon after, and no crash.
TEST_F(EmulatedUsbTest, UnpluggedDuringTheDownloadEndsInTheFailureMessage) {
    sim::EmulatedUsbCamera& camera = m_emulation->AddCamera({});
    WriteImage();
    std::atomic<bool> stop = false;
    Steady::time_point unplugged{};
    std::thread unplugger([&] {
        while (!stop) {
            uint32_t erases = 0;
            camera.WithModel([&](sim::CameraModel& model) { erases = model.EraseCommands(); });
            if (erases >= 2) {
                unplugged = Steady::now();
                m_emulation->Unplug(camera);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const std::string ending = RunUpdate(PORT_USB);
    const Steady::time_point end = Steady::now();
    stop = true;
    unplugger.join();
    EXPECT_EQ(ending, Message(1538, res::IDS_UPDATE_FAILED));
    ASSERT_NE(unplugged, Steady::time_point{}) << "the download never reached its second erase command";
    const double seconds = std::chrono::duration<double>(end - unplugged).count();
    std::cout << "unplugged to the failure message: " << seconds << " s\n";
    EXPECT_LT(seconds, 10.0);
}

// The machine's devices, with the attached cameras opened through libusb under a shorter request limit,
// so a camera that stops answering costs a test seconds rather than the driver's full limit.
class ShortLimitDevices final : public platform::IDevices {
  public:
    explicit ShortLimitDevices(uint32_t requestLimitMs) : m_requestLimitMs(requestLimitMs) {}
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        return platform::SystemDevices().OpenSerialPort(portName, errorNumber);
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath,
                                                            int& errorNumber) override {
        errorNumber = ENOENT;
        const std::optional<platform::UsbCameraEntry> camera =
            platform::FindUsbCamera(wire::ParseUsbDeviceName(devicePath));
        return camera ? m_cameras.Open(*camera, m_requestLimitMs, errorNumber) : nullptr;
    }

  private:
    uint32_t m_requestLimitMs;
    platform::LibusbCameras m_cameras;
};

constexpr uint32_t SHORT_LIMIT_MS = 1500;

// (e) A request that runs past its bound closes the connection, as the driver socket's client does: the
// interface goes back to the kernel driver at once, and later requests fail at once without a transfer.
TEST_F(EmulatedUsbTest, ARequestPastItsBoundClosesTheConnection) {
    sim::EmulatedUsbCamera& camera = m_emulation->AddCamera({});
    camera.WithModel([](sim::CameraModel& model) { model.Faults().silent = true; });
    camera.BindKernelDriver();
    platform::LibusbCameras cameras;
    int errorNumber = 0;
    std::unique_ptr<platform::IUsbConnection> connection =
        cameras.Open(*platform::FindUsbCamera(1), SHORT_LIMIT_MS, errorNumber);
    ASSERT_NE(connection, nullptr) << errorNumber;
    EXPECT_FALSE(camera.KernelDriverBound());

    std::vector<uint8_t> write(4 + 8, 0);
    write[4] = wire::CMD_READ_STATUS;
    ASSERT_TRUE(
        connection->Request(wire::IOCTL_CAMERA_WRITE, write.data(), static_cast<uint32_t>(write.size())));
    std::vector<uint8_t> read(4 + 1, 0);
    StoreLe32(read.data(), READ_PIPE);
    Steady::time_point start = Steady::now();
    EXPECT_FALSE(
        connection->Request(wire::IOCTL_CAMERA_READ, read.data(), static_cast<uint32_t>(read.size())));
    EXPECT_GE(Steady::now() - start, std::chrono::milliseconds(SHORT_LIMIT_MS));
    EXPECT_EQ(connection->LastError(), ETIMEDOUT);
    EXPECT_TRUE(camera.KernelDriverBound()) << "the interface is given back when the connection closes";

    const uint32_t inBefore = camera.InTransfersSubmitted();
    start = Steady::now();
    EXPECT_FALSE(
        connection->Request(wire::IOCTL_CAMERA_WRITE, write.data(), static_cast<uint32_t>(write.size())));
    EXPECT_FALSE(
        connection->Request(wire::IOCTL_CAMERA_READ, read.data(), static_cast<uint32_t>(read.size())));
    EXPECT_LT(Steady::now() - start, std::chrono::milliseconds(SHORT_LIMIT_MS / 2)) << "they waited";
    EXPECT_EQ(connection->LastError(), ETIMEDOUT);
    EXPECT_EQ(camera.OutTransfersSubmitted(), 1u);
    EXPECT_EQ(camera.InTransfersSubmitted(), inBefore);
}

// (f) A camera that takes the first status command and then never answers: the search waits out one
// request limit, sends the camera nothing more, and ends in the not-found message, as over the driver
// socket.
TEST_F(EmulatedUsbTest, ACameraSilentPastTheLimitGetsNothingMoreAndIsNotFound) {
    sim::EmulatedUsbCamera& camera = m_emulation->AddCamera({});
    camera.WithModel([](sim::CameraModel& model) { model.Faults().silent = true; });
    WriteImage();
    ShortLimitDevices devices(SHORT_LIMIT_MS);
    const Steady::time_point start = Steady::now();
    EXPECT_EQ(RunUpdate(PORT_USB, nullptr, &devices), Message(1539, res::IDS_NOT_FOUND));
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    std::cout << "silent camera to the not-found message: " << seconds << " s\n";
    EXPECT_EQ(camera.OutTransfersSubmitted(), 1u) << "only the first status command reaches the camera";
    EXPECT_LT(seconds, 2.0 * SHORT_LIMIT_MS / 1000.0);
}

// (g) A camera that is there but whose interface cannot be claimed: the not-found message, with the
// cause beside it. libusb reports a claim refused with EBUSY as busy (held by another program), and any
// other refusal as an unspecified error, which reaches the user as an input/output error.
struct RefusedRow {
    const char* name;
    int error;
    LinkCause cause;
    int systemError;
    const char* sentence;  // how the sentence goes on after the port and device
};

class RefusedClaimTest : public EmulatedUsbTest, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(RefusedClaimTest, ShowsTheNotFoundMessageWithTheCause) {
    const RefusedRow& row = GetParam();
    m_emulation->AddCamera({}).RefuseClaim(row.error);
    WriteImage();
    HostCause cause;
    EXPECT_EQ(RunUpdate(PORT_USB, &cause), Message(1539, res::IDS_NOT_FOUND));
    EXPECT_EQ(cause.cause, row.cause);
    EXPECT_EQ(cause.systemError, row.systemError);
    EXPECT_EQ(cause.port, "\\\\.\\QX410U-001");
    EXPECT_EQ(cause.device.rfind("/dev/bus/usb/", 0), 0u) << cause.device;
    EXPECT_TRUE(cause.OnHost());
    EXPECT_EQ(HostCauseSentence(cause).rfind("\\\\.\\QX410U-001 (" + cause.device + ")" + row.sentence, 0),
              0u)
        << HostCauseSentence(cause);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RefusedClaimTest,
    ::testing::Values(RefusedRow{"Eacces", EACCES, LinkCause::DeviceIoError, EIO, ": input/output error "},
                      RefusedRow{
                          "Ebusy", EBUSY, LinkCause::HeldByAnotherProgram, EBUSY,
                          ": held by another program; do not switch that camera off: let that program finish "
                          "or close it, then try again"}),
    [](const auto& row) { return std::string(row.param.name); });

// (h) A claim refused after the kernel driver was detached for it: the open fails with the claim's errno
// and the driver is given back, so the camera is left as it was found.
TEST_F(EmulatedUsbTest, AClaimRefusedAfterTheDetachGivesTheKernelDriverBack) {
    sim::EmulatedUsbCamera& camera = m_emulation->AddCamera({});
    camera.BindKernelDriver();
    camera.RefuseClaim(EBUSY);
    int errorNumber = 0;
    EXPECT_EQ(m_devices.OpenUsbDevice("\\\\.\\QX410U-001", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, EBUSY);
    EXPECT_EQ(camera.KernelDriverDetaches(), 1u);
    EXPECT_TRUE(camera.KernelDriverBound()) << "the driver stays detached after the refused claim";
}

// (f) `ports` lists the camera on the bus: its --port value, the bus and port path, IDs and product.
TEST_F(EmulatedUsbTest, PortsListsTheCameraOnTheBus) {
    m_emulation->AddCamera({});
    char pattern[] = "/tmp/qx-test-ports-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    const int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    const int status = cli::RunPorts(true);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::ifstream file(pattern);
    std::string camera;
    for (std::string line; std::getline(file, line);) {
        if (line.find(R"("event":"usb-camera")") != std::string::npos) {
            camera = line;
        }
    }
    std::remove(pattern);
    EXPECT_EQ(status, 0);
    EXPECT_NE(camera.find(R"("port":"usb1","name":"\\\\.\\QX410U-001","bus":1,"port_path":"1-)"),
              std::string::npos)
        << camera;
    EXPECT_NE(camera.find(R"("device":"/dev/bus/usb/001/)"), std::string::npos) << camera;
    EXPECT_NE(camera.find("QX410"), std::string::npos) << camera;
}

}  // namespace
