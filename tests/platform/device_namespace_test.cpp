// Where link names resolve: the device directory and its trust check, "COMn" entries, the USB socket
// names, and opening a pseudo-terminal through the system devices.
#include "platform/device_namespace.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "platform/devices.h"
#include "tests/support/scoped_runtime_dir.h"

namespace {

class DeviceNamespaceTest : public ::testing::Test {
  protected:
    // The device directory with the given mode and entries that point at /dev/null.
    void MakeDirectory(mode_t mode, std::initializer_list<std::string> entries = {}) {
        ASSERT_EQ(mkdir(m_directory.c_str(), 0700), 0);
        for (const std::string& name : entries) {
            ASSERT_EQ(symlink("/dev/null", m_runtime.Entry(name).c_str()), 0);
        }
        ASSERT_EQ(chmod(m_directory.c_str(), mode), 0);
    }

    testsupport::ScopedRuntimeDir m_runtime{false};
    std::string m_directory = m_runtime.DeviceDirectory();
};

TEST_F(DeviceNamespaceTest, DirectoryComesFromTheRuntimeDirectoryOrTmp) {
    EXPECT_EQ(platform::DeviceDirectoryPath(), m_directory);
    const std::string fallback = "/tmp/qx410fw-" + std::to_string(getuid());
    for (const std::string& runtime : {std::string(), m_runtime.Root() + "/missing"}) {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(platform::DeviceDirectoryPath(), fallback) << runtime;
    }
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::DeviceDirectoryPath(), fallback);
}

// Anyone else able to add entries could plant a port of their own: such a directory counts as absent,
// for COM names and USB names alike.
TEST_F(DeviceNamespaceTest, OnlyAPrivateRealDirectoryIsTrusted) {
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "") << "missing";
    MakeDirectory(0755, {"COM1"});
    EXPECT_EQ(platform::TrustedDeviceDirectory(), m_directory) << "readable by others is fine";
    for (const mode_t writable : {0720, 0702, 01777}) {
        chmod(m_directory.c_str(), writable);
        EXPECT_EQ(platform::TrustedDeviceDirectory(), "") << std::oct << writable;
        EXPECT_NE(platform::ResolveSerialPortName("COM1"), m_directory + "/COM1");
        EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-001"), "");
    }
    chmod(m_directory.c_str(), 0700);
    if (getuid() == 0) {
        ASSERT_EQ(chown(m_directory.c_str(), 65534, 65534), 0);
        EXPECT_EQ(platform::TrustedDeviceDirectory(), "") << "owned by another user";
        ASSERT_EQ(chown(m_directory.c_str(), 0, 0), 0);
    }

    // A symlink or a plain file in place of the directory.
    const std::string real = m_runtime.Root() + "/elsewhere";
    ASSERT_EQ(rename(m_directory.c_str(), real.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), m_directory.c_str()), 0);
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "");
    EXPECT_NE(platform::ResolveSerialPortName("COM1"), m_directory + "/COM1");
    unlink(m_directory.c_str());
    close(open(m_directory.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "");
}

TEST_F(DeviceNamespaceTest, ComEntriesOfTheDirectoryWin) {
    MakeDirectory(0700, {"COM1", "COM9"});
    ASSERT_EQ(symlink("/nonexistent/pts/99", m_runtime.Entry("COM4").c_str()), 0);
    for (const char* name : {"COM1", "COM9", "COM4"}) {  // a dangling entry still wins
        EXPECT_EQ(platform::ResolveSerialPortName(name), m_runtime.Entry(name));
    }
    // A name without an entry falls back to the machine's devices, never to the directory.
    const std::string fallback = platform::ResolveSerialPortName("COM2");
    EXPECT_TRUE(fallback.empty() || fallback.rfind("/dev/tty", 0) == 0) << fallback;
}

TEST_F(DeviceNamespaceTest, MalformedNamesResolveToNothing) {
    MakeDirectory(0700);
    // Where the name is also a file name, an entry by that name must not make it valid.
    for (const char* name : {"", "COM", "COM0", "COM:", "COM10", "com1", "COMa", "LPT1", "COM1 ", " COM1",
                             "\\\\.\\COM1", "..", "COM/"}) {
        // Some of the names ("", "..", "COM/") cannot be entries at all; those fail to link.
        const bool linked = symlink("/dev/null", m_runtime.Entry(name).c_str()) == 0;
        (void)linked;
        EXPECT_EQ(platform::ResolveSerialPortName(name), "") << name;
    }
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-001"), m_runtime.Entry("QX410U-001"));
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-127"), m_runtime.Entry("QX410U-127"));
    for (const char* bad : {"\\\\.\\QX410U-000", "\\\\.\\QX410U-128", "\\\\.\\QX410U-999", "\\\\.\\QX410U-01",
                            "\\\\.\\QX410U-0001", "\\\\.\\QX410U-1a2", "\\\\.\\QX410U--01", "QX410U-001",
                            "\\\\.\\qx410u-001", "\\\\.\\QX410U-001/../x", ""}) {
        EXPECT_EQ(platform::ResolveUsbDevicePath(bad), "") << bad;
    }
}

TEST_F(DeviceNamespaceTest, SystemDevicesOpenAPseudoTerminalByItsComNameExclusively) {
    MakeDirectory(0700);
    int master = -1;
    int slave = -1;
    char slaveName[128] = {};
    ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0) << "no pseudo-terminals";
    ASSERT_EQ(symlink(slaveName, m_runtime.Entry("COM3").c_str()), 0);

    int errorNumber = -1;
    std::unique_ptr<platform::ISerialPort> port =
        platform::SystemDevices().OpenSerialPort("COM3", errorNumber);
    ASSERT_NE(port, nullptr) << errorNumber;
    EXPECT_TRUE(port->IsSerialDevice());
    EXPECT_EQ(platform::SystemDevices().OpenSerialPort("COM3", errorNumber), nullptr) << "the port is held";
    EXPECT_EQ(errorNumber, EBUSY);
    EXPECT_EQ(platform::SystemDevices().OpenSerialPort("COM", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, ENOENT);
    EXPECT_EQ(platform::SystemDevices().OpenUsbDevice("\\\\.\\QX410U-001", errorNumber), nullptr)
        << "nothing listens";
    EXPECT_NE(errorNumber, 0);
    port.reset();
    close(slave);
    close(master);
}

}  // namespace
