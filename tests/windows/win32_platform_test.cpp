// The Windows platform files under Wine: files by UTF-8 path (and the firmware image checks on them),
// the system's link names, the reasons a failed open reports, and the USB instance lock.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "platform/device_namespace.h"
#include "platform/devices.h"
#include "platform/file.h"
#include "platform/usb_instance_lock.h"
#include "tests/app/scripted_ui.h"

namespace {

// A fresh folder under the system's temporary folder, removed with its files at the end.
class TempFolder {
  public:
    TempFolder() {
        wchar_t base[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, base);
        m_path = std::wstring(base) + L"qx410fw-test-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder() {
        for (const std::wstring& file : m_files) {
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(m_path.c_str());
    }
    // Writes a file and returns its UTF-8 path.
    std::string Write(const std::wstring& name, const std::string& content) {
        const std::wstring path = m_path + L"\\" + name;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
        m_files.push_back(path);
        return Utf8(path);
    }
    std::string Path() const { return Utf8(m_path); }

  private:
    static std::string Utf8(const std::wstring& wide) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
        text.resize(text.size() - 1);
        return text;
    }
    std::wstring m_path;
    std::vector<std::wstring> m_files;
};

TEST(Win32File, OpensReadsAndSeeksAFileByItsUtf8Name) {
    TempFolder folder;
    // "Übersicht-カメラ.fw": a name only the wide-character calls can open.
    const std::string path = folder.Write(L"\u00dcbersicht-\u30ab\u30e1\u30e9.fw", "0123456789");
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(path.c_str())) << "errno " << file.LastError();
    EXPECT_TRUE(file.IsRegularFile());
    EXPECT_EQ(file.Seek(0, platform::SeekOrigin::End), 10);
    EXPECT_EQ(file.Seek(4, platform::SeekOrigin::Begin), 4);
    char bytes[16] = {};
    EXPECT_EQ(file.Read(bytes, sizeof bytes), 6);
    EXPECT_EQ(std::string(bytes, 6), "456789");
    EXPECT_EQ(file.Read(bytes, sizeof bytes), 0);
}

TEST(Win32File, RefusesWhatIsNotAReadableRegularFile) {
    TempFolder folder;
    platform::ReadOnlyFile file;
    EXPECT_FALSE(file.Open((folder.Path() + "\\missing.fw").c_str()));
    EXPECT_EQ(file.LastError(), ENOENT);
    EXPECT_FALSE(file.Open("\xff\xfe not UTF-8"));
    EXPECT_EQ(file.LastError(), ENOENT);
    // A folder is not a firmware image, whether or not it can be opened.
    if (file.Open(folder.Path().c_str())) {
        EXPECT_FALSE(file.IsRegularFile());
    }
}

// The image is read through the same file calls: a complete image under a non-ASCII name passes the
// identification check; a missing one is a file error the user sees.
TEST(Win32FirmwareImage, LoadsAnImageByItsUtf8NameAndReportsAMissingOne) {
    TempFolder folder;
    std::string content(IDENTIFICATION_QX410);
    content.resize(FIRMWARE_IMAGE_SIZE, '\x5a');
    const std::string path = folder.Write(L"Pr\u00fcfung-QX410-100.fw", content);
    ScriptedUi ui;
    int32_t length = 0;
    FirmwareImage image(LoadFirmwareImage(ui, path.c_str(), length));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(length, FIRMWARE_IMAGE_SIZE);
    EXPECT_TRUE(HasIdentificationText(image.get(), length));
    EXPECT_TRUE(ui.Prompts().empty());

    FirmwareImage missing(LoadFirmwareImage(ui, (folder.Path() + "\\absent.fw").c_str(), length));
    EXPECT_EQ(missing, nullptr);
    // A beep, then the error box.
    ASSERT_EQ(ui.Prompts().size(), 2u);
    EXPECT_EQ(ui.Prompts()[1], "file-error File open or read error!");
}

TEST(Win32DeviceNamespace, NamesAreTheSystemsOwn) {
    EXPECT_EQ(platform::ResolveSerialPortName("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(platform::ResolveSerialPortName("COM9"), "\\\\.\\COM9");
    EXPECT_EQ(platform::ResolveSerialPortName("COM10"), "");
    EXPECT_EQ(platform::ResolveSerialPortName("com1"), "");
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-001"), "\\\\.\\QX410U-001");
    EXPECT_EQ(platform::ResolveUsbDevicePath("\\\\.\\QX410U-128"), "");
    EXPECT_EQ(platform::TrustedDeviceDirectory(), "");
}

// In the test prefix COM2..COM9 name paths that do not exist, and no camera driver is installed. Windows
// refuses to open such a port (ENOENT); Wine opens its port driver's own device object instead, whose
// line cannot be read, so the link's first step (IsSerialDevice) turns it away. Either way the port is
// never used.
TEST(Win32Devices, AMissingPortOrDeviceIsNeverUsable) {
    int errorNumber = 0;
    std::unique_ptr<platform::ISerialPort> port =
        platform::SystemDevices().OpenSerialPort("COM7", errorNumber);
    if (port == nullptr) {
        EXPECT_EQ(errorNumber, ENOENT);
    } else {
        EXPECT_FALSE(port->IsSerialDevice());
    }
    errorNumber = 0;
    EXPECT_EQ(platform::SystemDevices().OpenSerialPort("COM0", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, ENOENT);
    errorNumber = 0;
    EXPECT_EQ(platform::SystemDevices().OpenUsbDevice("\\\\.\\QX410U-042", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, ENOENT);
}

TEST(Win32UsbInstanceLock, OneHolderPerDeviceObjectUntilReleased) {
    int errorNumber = 0;
    auto first = platform::LockUsbInstance("\\\\.\\QX410U-017", errorNumber);
    ASSERT_NE(first, nullptr) << "errno " << errorNumber;
    EXPECT_EQ(platform::LockUsbInstance("\\\\.\\QX410U-017", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, EBUSY);
    auto other = platform::LockUsbInstance("\\\\.\\QX410U-018", errorNumber);
    EXPECT_NE(other, nullptr);
    first.reset();
    EXPECT_NE(platform::LockUsbInstance("\\\\.\\QX410U-017", errorNumber), nullptr);
    EXPECT_EQ(platform::LockUsbInstance("not a device", errorNumber), nullptr);
    EXPECT_EQ(errorNumber, EINVAL);
}

}  // namespace
