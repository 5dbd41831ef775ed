// Who may open a device node and what fixes it, and who holds one: the access rule over owner, group,
// mode and the user's groups; the holders found in a made-up /proc (a lock in its locks file, an open
// descriptor under PID/fd).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "platform/device_access.h"
#include "tests/support/scratch_tree.h"

namespace {

using platform::AccessFix;

struct AccessRow {
    const char* name;
    uint32_t mode;
    uint32_t owner;
    uint32_t group;
    bool usbCamera;
    std::vector<uint32_t> processGroups;
    std::vector<uint32_t> listedGroups;
    bool allowed;
    AccessFix fix;
    const char* fixGroup;
};

void PrintTo(const AccessRow& row, std::ostream* out) {
    *out << row.name;
}

class JudgeAccessTest : public ::testing::TestWithParam<AccessRow> {};

TEST_P(JudgeAccessTest, AllowsOrNamesTheFixThatFitsTheDevice) {
    const AccessRow& row = GetParam();
    platform::NodeFacts node;
    node.exists = true;
    node.mode = row.mode;
    node.ownerId = row.owner;
    node.groupId = row.group;
    node.group = row.group == 20 ? "dialout" : (row.group == 0 ? "root" : "plugdev");
    platform::UserFacts user;
    user.userId = 1000;
    user.processGroups = row.processGroups;
    user.listedGroups = row.listedGroups;
    const platform::AccessVerdict verdict = platform::JudgeAccess(node, user, row.usbCamera);
    EXPECT_EQ(verdict.allowed, row.allowed);
    EXPECT_EQ(verdict.fix, row.fix);
    EXPECT_EQ(verdict.group, row.fixGroup);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JudgeAccessTest,
    ::testing::Values(
        AccessRow{"InDialout", 0660, 0, 20, false, {1000, 20}, {1000, 20}, true, AccessFix::None, ""},
        AccessRow{"NotInDialout", 0660, 0, 20, false, {1000}, {1000}, false, AccessFix::JoinGroup, "dialout"},
        AccessRow{"AddedButNotLoggedInAgain",
                  0660,
                  0,
                  20,
                  false,
                  {1000},
                  {1000, 20},
                  false,
                  AccessFix::LogInAgain,
                  "dialout"},
        AccessRow{"RootOnlyConsole", 0600, 0, 0, false, {1000}, {1000}, false, AccessFix::OnlyRoot, ""},
        AccessRow{"GroupRootReadWrite", 0660, 0, 0, false, {1000}, {1000}, false, AccessFix::OnlyRoot, ""},
        AccessRow{
            "GroupReadOnly", 0640, 0, 20, false, {1000, 20}, {1000, 20}, false, AccessFix::OnlyRoot, ""},
        AccessRow{"OwnNode", 0600, 1000, 0, false, {1000}, {1000}, true, AccessFix::None, ""},
        AccessRow{"EveryoneMay", 0666, 0, 0, false, {1000}, {1000}, true, AccessFix::None, ""},
        AccessRow{"UsbCameraWithoutRule", 0664, 0, 0, true, {1000}, {1000}, false, AccessFix::UdevRule, ""},
        AccessRow{"UsbCameraInPlugdevStillTheRule",
                  0660,
                  0,
                  46,
                  true,
                  {1000},
                  {1000},
                  false,
                  AccessFix::UdevRule,
                  ""}),
    [](const auto& row) { return std::string(row.param.name); });

class MadeUpTreeTest : public ::testing::Test {
  protected:
    void Write(const std::string& path, const std::string& text) { m_tree.Write(path, text); }
    void Link(const std::string& target, const std::string& path) { m_tree.Link(target, path); }
    testsupport::ScratchTree m_tree;
    const std::string m_root = m_tree.Root();
};

TEST_F(MadeUpTreeTest, HoldersAreTheLockHoldersBeforeProcessesThatMerelyHaveItOpen) {
    Write("port", "");
    struct stat info {};
    ASSERT_EQ(stat((m_root + "/port").c_str(), &info), 0);
    char where[64];
    std::snprintf(where, sizeof where, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    Write("proc/100/comm", "minicom\n");
    Write("proc/200/comm", "qx410-camera-si\n");
    Link(m_root + "/port", "proc/200/fd/3");
    Link(m_root + "/port", "proc/100/fd/5");
    Write("proc/300/comm", "other\n");
    Write("proc/locks", std::string("1: FLOCK  ADVISORY  WRITE 100 ") + where + " 0 EOF\n" +
                            "2: FLOCK  ADVISORY  WRITE 300 00:01:1 0 EOF\n");
    const std::string port = m_root + "/port";
    const std::string proc = m_root + "/proc";
    EXPECT_EQ(platform::DescribeHolders(platform::FindLockHolders(port, proc)), "minicom (pid 100)");
    EXPECT_EQ(platform::DescribeHolders(platform::FindHolders(port, proc)),
              "minicom (pid 100), qx410-camera-si (pid 200)");
    EXPECT_EQ(platform::DescribeHolders(platform::WhoHolds(port, proc)), "minicom (pid 100)");
    Write("proc/locks", "");
    EXPECT_EQ(platform::DescribeHolders(platform::WhoHolds(port, proc)),
              "minicom (pid 100), qx410-camera-si (pid 200)");
}

}  // namespace
