// Where link names resolve: the device directory and its trust check, "COMn" entries, the USB socket
// names, and opening a pseudo-terminal through the system devices.
#include "platform/device_namespace.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/devices.h"

namespace {

// A temporary XDG_RUNTIME_DIR for one test, restored afterwards.
class DeviceNamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qx-namespace-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        chmod(m_root.c_str(), 0700);
        m_directory = m_root + "/qx410fw";
        const char* previous = std::getenv("XDG_RUNTIME_DIR");
        m_hadPrevious = previous != nullptr;
        m_previous = m_hadPrevious ? previous : "";
        setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
    }
    void TearDown() override {
        if (m_hadPrevious) {
            setenv("XDG_RUNTIME_DIR", m_previous.c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        std::system(("rm -rf '" + m_root + "'").c_str());
    }

    void MakeDirectory(mode_t mode) {
        ASSERT_EQ(mkdir(m_directory.c_str(), 0700), 0);
        ASSERT_EQ(chmod(m_directory.c_str(), mode), 0);
    }
    void MakeEntry(const std::string& name) {
        ASSERT_EQ(symlink("/dev/null", (m_directory + "/" + name).c_str()), 0);
    }

    std::string m_root;
    std::string m_directory;
    std::string m_previous;
    bool m_hadPrevious = false;
};

TEST_F(DeviceNamespaceTest, DirectoryComesFromTheRuntimeDirectoryOrTmp) {
    EXPECT_EQ(platform::DeviceDirectoryPath(), m_directory);

    const std::string fallback = "/tmp/qx410fw-" + std::to_string(getuid());
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::DeviceDirectoryPath(), fallback);
    setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(platform::DeviceDirectoryPath(), fallback);
    setenv("XDG_RUNTIME_DIR", (m_root + "/missing").c_str(), 1);
    EXPECT_EQ(platform::DeviceDirectoryPath(), fallback);
}

TEST_F(DeviceNamespaceTest, OnlyAPrivateRealDirectoryIsTrusted) {
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "") << "missing";

    MakeDirectory(0700);
    EXPECT_EQ(platform::TrustedDeviceDirectory(), m_directory);
    chmod(m_directory.c_str(), 0755);
    EXPECT_EQ(platform::TrustedDeviceDirectory(), m_directory) << "readable by others is fine";

    for (const mode_t writable : {0720, 0702, 0777, 01777}) {
        chmod(m_directory.c_str(), writable);
        EXPECT_EQ(platform::TrustedDeviceDirectory(), "") << std::oct << writable;
    }
    chmod(m_directory.c_str(), 0700);

    if (getuid() == 0) {
        ASSERT_EQ(chown(m_directory.c_str(), 65534, 65534), 0);
        EXPECT_EQ(platform::TrustedDeviceDirectory(), "") << "owned by another user";
        ASSERT_EQ(chown(m_directory.c_str(), 0, 0), 0);
    }
}

TEST_F(DeviceNamespaceTest, SymlinkOrFileInPlaceOfTheDirectoryIsNotTrusted) {
    const std::string real = m_root + "/elsewhere";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), m_directory.c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (real + "/COM1").c_str()), 0);
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "");
    EXPECT_NE(platform::ResolveSerialPortName("COM1"), m_directory + "/COM1");
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-001"), "");

    unlink(m_directory.c_str());
    close(open(m_directory.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "");
}

TEST_F(DeviceNamespaceTest, ComEntriesOfTheDirectoryWin) {
    MakeDirectory(0700);
    MakeEntry("COM1");
    MakeEntry("COM9");
    ASSERT_EQ(symlink("/nonexistent/pts/99", (m_directory + "/COM4").c_str()), 0);

    EXPECT_EQ(platform::ResolveSerialPortName("COM1"), m_directory + "/COM1");
    EXPECT_EQ(platform::ResolveSerialPortName("COM9"), m_directory + "/COM9");
    EXPECT_EQ(platform::ResolveSerialPortName("COM4"), m_directory + "/COM4")
        << "a dangling entry still wins";

    // A name without an entry falls back to the machine's devices, never to the directory.
    const std::string fallback = platform::ResolveSerialPortName("COM2");
    EXPECT_TRUE(fallback.empty() || fallback.rfind("/dev/tty", 0) == 0) << fallback;

    chmod(m_directory.c_str(), 0777);
    EXPECT_NE(platform::ResolveSerialPortName("COM1"), m_directory + "/COM1") << "untrusted directory";
}

class BadSerialNameTest : public DeviceNamespaceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadSerialNameTest, ResolvesToNothing) {
    MakeDirectory(0700);
    // Where the name is also a file name, an entry by that name must not make it valid.
    symlink("/dev/null", (m_directory + "/" + GetParam()).c_str());
    EXPECT_EQ(platform::ResolveSerialPortName(GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(Names, BadSerialNameTest,
                         ::testing::Values("", "COM", "COM0", "COM10", "com1", "COMa", "LPT1", "COM1 ",
                                           " COM1", "\\\\.\\COM1", "..", "COM/"));

TEST_F(DeviceNamespaceTest, UsbNamesMapToSocketsOfTheDirectory) {
    MakeDirectory(0700);
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-001"), m_directory + "/QX410U-001");
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-127"), m_directory + "/QX410U-127");
    for (const char* bad : {"\\\\.\\QX410U-000", "\\\\.\\QX410U-128", "\\\\.\\QX410U-999", "\\\\.\\QX410U-01",
                            "\\\\.\\QX410U-0001", "\\\\.\\QX410U-0a1", "\\\\.\\QX410U--01", "QX410U-001",
                            "\\\\.\\qx410u-001", "\\\\.\\QX410U-001/../x", ""}) {
        EXPECT_EQ(platform::ResolveUsbDevicePath(bad), "") << bad;
    }
    chmod(m_directory.c_str(), 0770);
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-001"), "") << "untrusted directory";
}

TEST_F(DeviceNamespaceTest, SystemDevicesOpenAPseudoTerminalByItsComName) {
    MakeDirectory(0700);
    int master = -1;
    int slave = -1;
    char slaveName[128] = {};
    ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0) << "no pseudo-terminals";
    ASSERT_EQ(symlink(slaveName, (m_directory + "/COM3").c_str()), 0);

    int errorNumber = -1;
    std::unique_ptr<platform::ISerialPort> port =
        platform::SystemDevices().OpenSerialPort("COM3", errorNumber);
    ASSERT_NE(port, nullptr) << errorNumber;
    EXPECT_TRUE(port->IsSerialDevice());

    int again = 0;
    EXPECT_EQ(platform::SystemDevices().OpenSerialPort("COM3", again), nullptr) << "the port is held";
    EXPECT_EQ(again, EBUSY);

    EXPECT_EQ(platform::SystemDevices().OpenSerialPort("COM", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, ENOENT);
    EXPECT_EQ(platform::SystemDevices().OpenUsbDevice("\\\\.\\QX410U-001"), nullptr) << "nothing listens";
    port.reset();
    close(slave);
    close(master);
}

}  // namespace
