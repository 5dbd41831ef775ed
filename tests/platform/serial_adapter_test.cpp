// The sysfs facts of a serial device, read from made-up trees laid out as the kernel lays out an FTDI
// and a CH341 adapter (usb-serial ports), a CDC-ACM device (a USB interface) and a mainboard UART.
#include "platform/serial_adapter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/scratch_tree.h"

namespace {

namespace fs = std::filesystem;

struct AdapterCase {
    const char* label;
    const char* tty;
    const char* portDir;    // the port's device below devices/
    const char* usbDir;     // the USB device directory holding idVendor, or "" for none
    const char* driverBus;  // bus/<bus>/drivers/<driver>
    const char* driverName;
    const char* latency;  // the latency_timer file's text, nullptr for none
    platform::SerialAdapterFacts expected;
};

class SerialAdapterFactsTest : public ::testing::TestWithParam<AdapterCase> {
  protected:
    void SetUp() override { ASSERT_FALSE(m_root.empty()) << "no scratch folder"; }

    // devices/<portDir> with its driver link, the tty's class link to it, the USB device's identity.
    void Build(const AdapterCase& c) {
        const fs::path root(m_root);
        const fs::path port = root / "devices" / c.portDir;
        const fs::path driver = root / "bus" / c.driverBus / "drivers" / c.driverName;
        fs::create_directories(port / "tty" / c.tty);
        fs::create_directories(driver);
        fs::create_directories(root / "class" / "tty" / c.tty);
        fs::create_symlink(driver, port / "driver");
        // The serial core's port and controller devices between the tty and the UART (Linux 6.5 on).
        if (std::string(c.driverBus) == "pnp") {
            const fs::path serialBase = root / "bus" / "serial-base" / "drivers";
            fs::create_directories(serialBase / "port");
            fs::create_directories(serialBase / "ctrl");
            fs::remove(port / "driver");
            fs::create_symlink(serialBase / "port", port / "driver");
            fs::create_symlink(serialBase / "ctrl", port.parent_path() / "driver");
            fs::create_symlink(driver, port.parent_path().parent_path() / "driver");
        }
        fs::create_symlink(fs::relative(port, root / "class" / "tty" / c.tty),
                           root / "class" / "tty" / c.tty / "device");
        if (c.latency != nullptr) {
            std::ofstream(port / "latency_timer") << c.latency;
        }
        if (*c.usbDir != '\0') {
            const fs::path usb = root / "devices" / c.usbDir;
            std::ofstream(usb / "idVendor") << c.expected.usbId.substr(0, 4) << "\n";
            std::ofstream(usb / "idProduct") << c.expected.usbId.substr(5, 4) << "\n";
            if (!c.expected.product.empty()) {
                std::ofstream(usb / "product") << c.expected.product << "\n";
            }
        }
    }

    testsupport::ScratchTree m_tree;  // the made-up sysfs root, removed with the test
    const std::string m_root = m_tree.Root();
};

TEST_P(SerialAdapterFactsTest, ReadsDriverTimerAndUsbIdentity) {
    const AdapterCase& c = GetParam();
    Build(c);
    const platform::SerialAdapterFacts facts =
        platform::ReadSerialAdapterFacts(std::string("/dev/") + c.tty, m_root);
    EXPECT_EQ(facts.driver, c.expected.driver);
    EXPECT_EQ(facts.latencyTimerMs, c.expected.latencyTimerMs);
    EXPECT_EQ(facts.usbId, c.expected.usbId);
    EXPECT_EQ(facts.product, c.expected.product);
}

INSTANTIATE_TEST_SUITE_P(
    Adapters, SerialAdapterFactsTest,
    ::testing::Values(AdapterCase{"Ftdi",
                                  "ttyUSB0",
                                  "pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0",
                                  "pci0000:00/usb1/1-2",
                                  "usb-serial",
                                  "ftdi_sio",
                                  "16\n",
                                  {"ftdi_sio", 16, "0403:6001", "FT232R USB UART"}},
                      AdapterCase{"FtdiBehindHubTimerOne",
                                  "ttyUSB3",
                                  "pci0000:00/usb2/2-1/2-1.4/2-1.4:1.0/ttyUSB3",
                                  "pci0000:00/usb2/2-1/2-1.4",
                                  "usb-serial",
                                  "ftdi_sio",
                                  "1\n",
                                  {"ftdi_sio", 1, "0403:6015", ""}},
                      AdapterCase{"FtdiTimerUnreadable",
                                  "ttyUSB1",
                                  "pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1",
                                  "pci0000:00/usb1/1-3",
                                  "usb-serial",
                                  "ftdi_sio",
                                  "garbage",
                                  {"ftdi_sio", std::nullopt, "0403:6001", "FT232R USB UART"}},
                      AdapterCase{"Ch341",
                                  "ttyUSB2",
                                  "pci0000:00/usb1/1-4/1-4:1.0/ttyUSB2",
                                  "pci0000:00/usb1/1-4",
                                  "usb-serial",
                                  "ch341-uart",
                                  nullptr,
                                  {"ch341", std::nullopt, "1a86:7523", "USB Serial"}},
                      AdapterCase{"CdcAcm",
                                  "ttyACM0",
                                  "pci0000:00/usb1/1-5/1-5:1.0",
                                  "pci0000:00/usb1/1-5",
                                  "usb",
                                  "cdc_acm",
                                  nullptr,
                                  {"cdc_acm", std::nullopt, "2341:0043", "Arduino Uno"}},
                      AdapterCase{"SerialCoreUart",
                                  "ttyS1",
                                  "pnp0/00:01/00:01:0/00:01:0.0",
                                  "",
                                  "pnp",
                                  "serial",
                                  nullptr,
                                  {"serial", std::nullopt, "", ""}},
                      AdapterCase{"MainboardUart",
                                  "ttyS0",
                                  "platform/serial8250",
                                  "",
                                  "platform",
                                  "serial8250",
                                  nullptr,
                                  {"serial8250", std::nullopt, "", ""}}),
    [](const ::testing::TestParamInfo<AdapterCase>& param) { return std::string(param.param.label); });

// A pseudo-terminal, an unknown name or a tree without the tty's class entry gives empty facts.
TEST(SerialAdapterFactsEmptyTest, UnknownDevicesHaveNoFacts) {
    char pattern[] = "/tmp/qx-test-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    fs::create_directories(fs::path(root) / "class" / "tty" / "ttyUSB9");  // no device link
    for (const char* path : {"/dev/pts/3", "/dev/ttyUSB7", "/dev/ttyUSB9", "", "/"}) {
        const platform::SerialAdapterFacts facts = platform::ReadSerialAdapterFacts(path, root);
        EXPECT_TRUE(facts.driver.empty()) << path;
        EXPECT_FALSE(facts.latencyTimerMs.has_value()) << path;
        EXPECT_TRUE(facts.usbId.empty()) << path;
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

}  // namespace
