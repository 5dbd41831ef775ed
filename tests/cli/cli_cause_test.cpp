// Each host-side cause made real on this machine and reported by qx410fw-cli: its exact text and exit
// status, and the same facts in the JSON outcome line. The port is a pseudo-terminal named COM3 in a
// private device directory; the rows that need a user who may not open it run the program as nobody
// (setpriv), with the directory handed to that user so that it stays trusted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/exit_status.h"
#include "platform/devices.h"
#include "tests/e2e/e2e_support.h"

namespace {

constexpr uid_t NOBODY = 65534;
constexpr gid_t DIALOUT = 20;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs qx410fw-cli (as nobody when asked); `during` runs once the child has started.
CliRun RunCli(const std::vector<std::string>& arguments, bool asNobody,
              const std::function<void()>& during = {}) {
    std::vector<std::string> words;
    if (asNobody) {
        words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    }
    words.push_back(QX_CLI_PATH);
    words.insert(words.end(), arguments.begin(), arguments.end());
    int outFds[2];
    int errFds[2];
    if (pipe(outFds) != 0 || pipe(errFds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        dup2(outFds[1], STDOUT_FILENO);
        dup2(errFds[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outFds[1]);
    close(errFds[1]);
    std::thread action;
    if (during) {
        action = std::thread(during);
    }
    CliRun run;
    pollfd fds[2] = {{outFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, 30000) <= 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            sinks[i]->append(buffer, static_cast<size_t>(count));
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (action.joinable()) {
        action.join();
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// How the row prepares COM3.
enum class Setup {
    HeldByTest,    // this test holds the port open (exclusive, locked)
    RootOnly,      // crw------- root:root, the program runs as nobody
    GroupDialout,  // crw-rw---- root:dialout, the program runs as nobody
    Missing,       // COM3 leads to a device that does not exist
    VanishesOpen,  // the pseudo-terminal's far end closes while the program searches
    Silent,        // the port works, nothing answers
};

struct CauseRow {
    const char* name;
    Setup setup;
    bool json;
    int status;
    // The whole standard error ({dev}: the port's device, {pid}: this test's pid, {dir}: the device
    // directory); for JSON rows the outcome's fields instead.
    std::string text;
    std::vector<std::pair<const char*, std::string>> fields;
};

void PrintTo(const CauseRow& row, std::ostream* out) {
    *out << row.name;
}

std::string Replace(std::string text, const std::string& key, const std::string& value) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
    }
    return text;
}

class CliCauseTest : public e2e::SimulatorTest, public ::testing::WithParamInterface<CauseRow> {
  protected:
    void SetUp() override {
        e2e::SimulatorTest::SetUp();
        ASSERT_EQ(mkdir(DeviceDir().c_str(), 0700), 0);
        ASSERT_TRUE(e2e::PointNowhere(DeviceDir(), 3));
        int slave = -1;
        ASSERT_EQ(openpty(&m_master, &slave, nullptr, nullptr, nullptr), 0);
        m_device = ttyname(slave);
        // The program must not inherit the far end: closing it here is what makes the port vanish.
        fcntl(m_master, F_SETFD, FD_CLOEXEC);
        close(slave);
    }
    void TearDown() override {
        if (m_master >= 0) {
            close(m_master);
        }
        e2e::SimulatorTest::TearDown();
    }
    // Hands the runtime directory, the device directory and its links to nobody.
    void GiveToNobody() {
        for (const std::string& path : {m_runtimeDir, DeviceDir()}) {
            ASSERT_EQ(chown(path.c_str(), NOBODY, NOBODY), 0);
        }
        for (int n = 1; n <= 9; ++n) {
            ASSERT_EQ(lchown((DeviceDir() + "/COM" + std::to_string(n)).c_str(), NOBODY, NOBODY), 0);
        }
    }

    int m_master = -1;
    std::string m_device;
};

TEST_P(CliCauseTest, ReportsTheCauseWithItsTextAndStatus) {
    const CauseRow& row = GetParam();
    const std::string link = DeviceDir() + "/COM3";
    ASSERT_EQ(symlink(row.setup == Setup::Missing ? "/dev/pts/999999" : m_device.c_str(), link.c_str()), 0);
    bool asNobody = false;
    std::unique_ptr<platform::ISerialPort> held;
    std::function<void()> during;
    if (row.setup == Setup::HeldByTest) {
        int errorNumber = 0;
        held = platform::SystemDevices().OpenSerialPort("COM3", errorNumber);
        ASSERT_TRUE(held) << std::strerror(errorNumber);
    } else if (row.setup == Setup::RootOnly || row.setup == Setup::GroupDialout) {
        if (access("/usr/bin/setpriv", X_OK) != 0 || geteuid() != 0) {
            GTEST_SKIP() << "needs root and setpriv to run the program as an unprivileged user";
        }
        asNobody = true;
        GiveToNobody();
        const bool group = row.setup == Setup::GroupDialout;
        ASSERT_EQ(chown(m_device.c_str(), 0, group ? DIALOUT : 0), 0);
        ASSERT_EQ(chmod(m_device.c_str(), group ? 0660 : 0600), 0);
    } else if (row.setup == Setup::VanishesOpen) {
        // Gone once the program has had the port open for a moment.
        during = [this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            close(m_master);
            m_master = -1;
        };
    }
    std::vector<std::string> arguments = {"info", "--port", "com3"};
    if (row.json) {
        arguments.insert(arguments.begin(), "--json");
    }
    const CliRun run = RunCli(arguments, asNobody, during);
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    const auto expand = [&](const std::string& text) {
        return Replace(Replace(Replace(text, "{dev}", m_device), "{pid}", std::to_string(getpid())), "{dir}",
                       DeviceDir());
    };
    if (!row.json) {
        EXPECT_EQ(run.err, expand(row.text));
        EXPECT_EQ(run.out, "");
        return;
    }
    const nlohmann::json outcome = nlohmann::json::parse(run.out);
    EXPECT_EQ(outcome["event"], "outcome");
    EXPECT_EQ(outcome["status"], row.status);
    EXPECT_EQ(outcome["message"], expand(row.text)) << run.out;
    for (const auto& [key, value] : row.fields) {
        EXPECT_EQ(outcome[key].is_string() ? outcome[key].get<std::string>() : outcome[key].dump(),
                  expand(value))
            << key << " in " << run.out;
    }
}

const std::string NOT_FOUND =
    "Camera can not be found.\nPlease exit, and turn off the camera.\nThen turn it back on, and verify that "
    "it "
    "is properly connected.";

INSTANTIATE_TEST_SUITE_P(
    Causes, CliCauseTest,
    ::testing::Values(
        CauseRow{
            "held_by_another_process",
            Setup::HeldByTest,
            false,
            cli::EXIT_PORT_BUSY,
            "qx410fw-cli: COM3 ({dev}): held by another program (cli_cause_test (pid {pid})); do not switch "
            "that camera off: let that program finish or close it, then try again.\n",
            {}},
        CauseRow{
            "held_json",
            Setup::HeldByTest,
            true,
            cli::EXIT_PORT_BUSY,
            "qx410fw-cli: COM3 ({dev}): held by another program (cli_cause_test (pid {pid})); do not switch "
            "that camera off: let that program finish or close it, then try again.",
            {{"outcome", "port-busy"},
             {"cause", "held-by-another-program"},
             {"port", "COM3"},
             {"device", "{dev}"},
             {"errno", "16"},
             {"step", "search"},
             {"held_by", "cli_cause_test (pid {pid})"}}},
        CauseRow{
            "permission_root_only",
            Setup::RootOnly,
            false,
            cli::EXIT_PERMISSION_DENIED,
            "qx410fw-cli: COM3 ({dev}): permission denied; only root may open it (root:root): no camera "
            "cable "
            "is expected there; choose the port the camera is on.\n  {dev} is crw------- root:root; your "
            "groups: nogroup\n",
            {}},
        CauseRow{
            "permission_dialout",
            Setup::GroupDialout,
            false,
            cli::EXIT_PERMISSION_DENIED,
            "qx410fw-cli: COM3 ({dev}): permission denied; you are not in group dialout: sudo usermod -aG "
            "dialout $USER, then log in again.\n  {dev} is crw-rw---- root:dialout; your groups: nogroup\n",
            {}},
        CauseRow{
            "permission_json",
            Setup::GroupDialout,
            true,
            cli::EXIT_PERMISSION_DENIED,
            "qx410fw-cli: COM3 ({dev}): permission denied; you are not in group dialout: sudo usermod -aG "
            "dialout $USER, then log in again.\n  {dev} is crw-rw---- root:dialout; your groups: nogroup",
            {{"outcome", "permission-denied"}, {"cause", "permission-denied"}, {"errno", "13"}}},
        CauseRow{"no_such_device",
                 Setup::Missing,
                 false,
                 cli::EXIT_NOT_FOUND,
                 "qx410fw-cli: COM3 (/dev/pts/999999): no such device; nothing stands for COM3 on this "
                 "machine.\n",
                 {}},
        CauseRow{
            "vanishes_while_open",
            Setup::VanishesOpen,
            true,
            cli::EXIT_NOT_FOUND,
            "qx410fw-cli: COM3 ({dev}): the device went away while open (unplugged?); plug it in again and "
            "check the cable.",
            {{"outcome", "device-error"}, {"cause", "unplugged"}, {"errno", "5"}, {"device", "{dev}"}}},
        CauseRow{"camera_silent",
                 Setup::Silent,
                 false,
                 cli::EXIT_NOT_FOUND,
                 NOT_FOUND + "\nCOM3 ({dev}) opened, but no camera answered.\n",
                 {}}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
