// Hostile local input the other tests leave out: COMn entries of the device directory that stand for
// something other than a terminal, and a chosen firmware path far longer than the path buffer. Each
// gets its plain answer at once: the port does not open, the path is refused, and nothing is written
// beyond the buffer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "app/update_controller.h"
#include "link/link_session.h"
#include "platform/devices.h"
#include "tests/app/scripted_ui.h"
#include "tests/e2e/sim_process.h"

namespace {

struct EntryCase {
    const char* name;
    // Makes what COM1 points at in dir and returns its path.
    std::string (*make)(const std::string& dir);
};

class ComEntryTest : public ::testing::TestWithParam<EntryCase> {
  protected:
    void SetUp() override {
        m_runtimeDir = e2e::MakePrivateRuntimeDir();
        ASSERT_FALSE(m_runtimeDir.empty());
        ASSERT_EQ(mkdir((m_runtimeDir + "/qx410fw").c_str(), 0700), 0);
    }
    void TearDown() override { e2e::RemoveRuntimeDir(m_runtimeDir); }
    std::string m_runtimeDir;
};

// A FIFO would block an open without O_NONBLOCK until a writer comes; the others fail the terminal
// set-up or the open itself.
TEST_P(ComEntryTest, DoesNotOpenAndCostsNoTime) {
    const std::string target = GetParam().make(m_runtimeDir);
    ASSERT_FALSE(target.empty());
    ASSERT_EQ(symlink(target.c_str(), (m_runtimeDir + "/qx410fw/COM1").c_str()), 0);
    CLinkSession session(platform::SystemDevices());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.OpenSerialPort(1), LINK_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(session.m_detailStatus, DETAIL_SERIAL_OPEN);
    EXPECT_EQ(session.m_hSerial, nullptr);
    EXPECT_EQ(session.m_sendBuffer, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ComEntryTest,
    ::testing::Values(EntryCase{"Fifo",
                                [](const std::string& dir) {
                                    const std::string path = dir + "/fifo";
                                    return mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
                                }},
                      EntryCase{"DevNull", [](const std::string&) { return std::string("/dev/null"); }},
                      EntryCase{"Directory", [](const std::string& dir) { return dir; }},
                      EntryCase{"SymlinkLoop",
                                [](const std::string& dir) {
                                    const std::string path = dir + "/loop";
                                    return symlink(path.c_str(), path.c_str()) == 0 ? path : std::string();
                                }}),
    [](const ::testing::TestParamInfo<EntryCase>& param) { return std::string(param.param.name); });

// The user interface may hand back a path of any length; the 256-byte buffer takes at most 255
// characters and a guard behind it stays untouched.
TEST(FirmwarePathTest, PathOf4096CharactersIsRefusedWithoutOverrun) {
    struct {
        char path[FILE_PATH_BUFFER_SIZE];
        char guard[64];
    } buffer;
    std::memset(&buffer, 0x5A, sizeof buffer);
    CUpdateController controller(platform::SystemDevices());
    ScriptedUi ui;
    ui.fileAnswers = {{FileDialogResult::Chosen, "/" + std::string(4095, 'p')}};

    // Refused with its message, then the dialog again (cancelled here, its answers being used up).
    EXPECT_EQ(controller.SelectFirmwareFile(ui, 1, buffer.path, "*.fw"), FILE_SELECT_CANCELLED);
    ASSERT_GE(ui.calls.size(), 2u);
    EXPECT_EQ(ui.calls[ui.calls.size() - 2], std::string("file-error ") + PATH_TOO_LONG_TEXT);
    EXPECT_TRUE(ui.calls.back().starts_with("choose "));
    for (const char byte : buffer.guard) {
        ASSERT_EQ(byte, 0x5A) << "written past the path buffer";
    }
}

}  // namespace
