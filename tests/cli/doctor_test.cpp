// qx410fw-cli doctor on a made-up machine (sysfs, /proc, /dev, the udev database and rule folders in a
// scratch tree, a user who is not root): each WARN and FAIL line with its exact text and fix, a healthy
// tree with none, and the program on this machine.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cli/doctor.h"
#include "tests/support/scratch_tree.h"

namespace {

using cli::CheckLevel;

class DoctorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.empty());
        m_roots.sys = m_root + "/sys";
        m_roots.proc = m_root + "/proc";
        m_roots.dev = m_root + "/dev";
        m_roots.udevData = m_root + "/udev";
        m_roots.ruleDirs = {m_root + "/rules"};
        m_roots.deviceDirectory = m_root + "/devdir";
        m_roots.display = "";
        m_roots.waylandDisplay = "";
        platform::UserFacts user;
        user.userId = 1000;
        user.processGroups = {1000};
        user.listedGroups = {1000};
        m_roots.user = user;
        Write("rules/.keep", "");
        Write("proc/1/comm", "init\n");
    }
    void Write(const std::string& path, const std::string& text) { m_tree.Write(path, text); }
    void Link(const std::string& target, const std::string& path) { m_tree.Link(target, path); }
    // A node in the made-up /dev: a plain file (shown "-rw..") with the owner, group and mode of the device.
    void Node(const std::string& name, uid_t owner, gid_t group, mode_t mode) {
        Write("dev/" + name, "");
        ASSERT_EQ(chown((m_root + "/dev/" + name).c_str(), owner, group), 0);
        ASSERT_EQ(chmod((m_root + "/dev/" + name).c_str(), mode), 0);
    }
    // A USB-serial adapter's tty with its driver and latency timer.
    void Adapter(const std::string& tty, const std::string& driver, int latency) {
        const std::string device = "sys/devices/usb1/1-2/1-2:1.0/" + tty;
        Link("../../../../../bus/usb-serial/drivers/" + driver, device + "/driver");
        Write(device + "/latency_timer", std::to_string(latency) + "\n");
        Link("../../../devices/usb1/1-2/1-2:1.0/" + tty, "sys/class/tty/" + tty + "/device");
    }
    // The camera on bus 1, port 3, device 5, with its udev database record.
    void Camera(const std::string& udevRecord, mode_t mode) {
        const std::string dir = "sys/bus/usb/devices/1-3/";
        Write(dir + "idVendor", "0c0a\n");
        Write(dir + "idProduct", "0410\n");
        Write(dir + "busnum", "1\n");
        Write(dir + "devnum", "5\n");
        Write(dir + "product", "Corva QX410 Zoom\n");
        Write(dir + "dev", "189:4\n");
        Write("udev/c189:4", udevRecord);
        Node("bus/usb/001/005", 0, 0, mode);
    }

    testsupport::ScratchTree m_tree;
    const std::string m_root = m_tree.Root();
    cli::MachineRoots m_roots;
};

struct Expected {
    CheckLevel level;
    const char* check;
    std::string text;
    std::string fix;
};

TEST_F(DoctorTest, EachProblemGivesItsLineAndFix) {
    Node("ttyUSB0", 0, 20, 0660);  // dialout; the user is not in it
    Adapter("ttyUSB0", "ftdi_sio", 16);
    Node("ttyACM0", 0, 20, 0660);
    Write("sys/class/tty/ttyACM0/dev", "166:0\n");
    Write("udev/c166:0", "E:ID_MM_CANDIDATE=1\n");
    Node("ttyS0", 0, 0, 0600);
    Write("sys/class/tty/ttyS0/type", "4\n");
    Node("ttyS1", 0, 0, 0600);  // a placeholder line without a UART: not a candidate
    Write("sys/class/tty/ttyS1/type", "0\n");
    Camera("I:123\nE:ID_VENDOR=Corva\n", 0664);
    Link("../../../../bus/usb/drivers/ch341", "sys/bus/usb/devices/1-4:1.0/driver");
    Write("proc/100/comm", "ModemManager\n");
    Write("proc/101/comm", "brltty\n");
    ASSERT_EQ(mkdir((m_root + "/devdir").c_str(), 0777), 0);
    ASSERT_EQ(chmod((m_root + "/devdir").c_str(), 0777), 0);
    m_roots.user->listedGroups = {1000, 20};  // added to dialout, not yet logged in again
    m_roots.waylandDisplay = "wayland-0";

    const std::vector<Expected> expected = {
        {CheckLevel::Warn, "serial-access",
         "/dev/ttyACM0 (-rw-rw---- root:dialout): you are in group dialout, but not in this login",
         "log out and in again"},
        {CheckLevel::Warn, "serial-access", "/dev/ttyS0 (-rw------- root:root): only root may open it",
         "a console port, not meant for a camera cable: use a USB-serial adapter or USB"},
        {CheckLevel::Warn, "serial-access",
         "/dev/ttyUSB0 (-rw-rw---- root:dialout): you are in group dialout, but not in this login",
         "log out and in again"},
        {CheckLevel::Warn, "udev-rule", "the camera's udev rule 70-qx410fw.rules is not installed",
         "install the qx410fw package (or copy packaging/70-qx410fw.rules to /etc/udev/rules.d/), then sudo "
         "udevadm "
         "control --reload and plug the camera in again"},
        {CheckLevel::Fail, "usb-camera",
         "USB camera usb1 (/dev/bus/usb/001/005): no udev rule gave it to you",
         "install the udev rule, sudo udevadm control --reload, then unplug the camera and plug it in again"},
        {CheckLevel::Fail, "adapter-without-tty",
         "USB interface 1-4:1.0 (driver ch341) has no tty; brltty is running and takes such adapters",
         "sudo systemctl mask brltty-udev.service brltty.path (or sudo apt remove brltty), then unplug the "
         "adapter "
         "and plug it in again"},
        {CheckLevel::Warn, "modemmanager",
         "ModemManager runs and probes /dev/ttyACM0, which disturbs the camera",
         "a udev rule with ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter, or sudo systemctl stop "
         "ModemManager during "
         "the update"},
        {CheckLevel::Warn, "latency-timer",
         "/dev/ttyUSB0 (ftdi_sio): latency timer 16 ms slows every exchange with the camera",
         "echo 1 | sudo tee /sys/class/tty/ttyUSB0/device/latency_timer"},
        {CheckLevel::Fail, "device-directory",
         m_root + "/devdir is not a private directory of yours: it is ignored, and a USB camera cannot be "
                  "locked there",
         "remove it (rm -r " + m_root + "/devdir); the updater makes it again"},
        {CheckLevel::Warn, "display", "a Wayland session without XWayland: the compositor places the dialogs",
         "install and enable XWayland (xwayland package) for the program's own placement"},
    };
    std::vector<cli::CheckLine> problems;
    for (const cli::CheckLine& line : cli::CheckMachine(m_roots)) {
        if (line.level != CheckLevel::Ok) {
            problems.push_back(line);
        }
    }
    ASSERT_EQ(problems.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(problems[i].level, expected[i].level) << expected[i].text;
        EXPECT_EQ(problems[i].check, expected[i].check) << expected[i].text;
        EXPECT_EQ(problems[i].text, expected[i].text);
        EXPECT_EQ(problems[i].fix, expected[i].fix);
    }
}

TEST_F(DoctorTest, JoinGroupWhenTheUserWasNeverAdded) {
    Node("ttyUSB0", 0, 20, 0660);
    const std::vector<cli::CheckLine> lines = cli::CheckMachine(m_roots);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, CheckLevel::Fail);
    EXPECT_EQ(lines[0].text, "/dev/ttyUSB0 (-rw-rw---- root:dialout): you are not in group dialout");
    EXPECT_EQ(lines[0].fix, "sudo usermod -aG dialout $USER, then log in again");
}

TEST_F(DoctorTest, AHealthyMachineHasNoWarning) {
    Node("ttyUSB0", 0, 20, 0660);
    Adapter("ttyUSB0", "ftdi_sio", 1);
    Write("rules/70-qx410fw.rules", "SUBSYSTEM==\"usb\", ATTR{product}==\"*QX410*\", TAG+=\"uaccess\"\n");
    Camera("I:123\nG:uaccess\nQ:uaccess\n", 0664);
    Write("proc/100/comm", "ModemManager\n");
    Node("ttyACM0", 0, 20, 0660);
    Write("sys/class/tty/ttyACM0/dev", "166:0\n");
    Write("udev/c166:0", "E:ID_MM_DEVICE_IGNORE=1\n");
    m_roots.user->processGroups = {1000, 20};
    m_roots.user->userId = geteuid();  // the device directory below is this process's own
    ASSERT_EQ(mkdir((m_root + "/devdir").c_str(), 0700), 0);
    m_roots.display = ":0";
    for (const cli::CheckLine& line : cli::CheckMachine(m_roots)) {
        EXPECT_EQ(line.level, CheckLevel::Ok) << line.check << ": " << line.text;
        EXPECT_EQ(line.fix, "") << line.check;
    }
}

// On this machine: every line is OK, WARN or FAIL, the status says whether one failed, nothing else.
TEST(DoctorOnThisMachine, PrintsAChecklist) {
    const std::string out = "/tmp/qx-test-doctor-out-" + std::to_string(getpid());
    const int status = std::system((std::string(QX_CLI_PATH) + " doctor > " + out).c_str());
    std::ifstream file(out);
    bool failed = false;
    int lines = 0;
    for (std::string line; std::getline(file, line); ++lines) {
        const bool check =
            line.rfind("OK    ", 0) == 0 || line.rfind("WARN  ", 0) == 0 || line.rfind("FAIL  ", 0) == 0;
        EXPECT_TRUE(check || line.rfind("      fix: ", 0) == 0) << line;
        failed = failed || line.rfind("FAIL", 0) == 0;
    }
    std::remove(out.c_str());
    EXPECT_GE(lines, 6);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), failed ? 1 : 0);
}

}  // namespace
