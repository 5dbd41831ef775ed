#include "tests/e2e/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

SimSummary ParseSummary(const std::string& path) {
    SimSummary summary;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            continue;
        }
        std::istringstream fields(line.substr(colon + 2));
        if (line.compare(0, colon, "command") != 0) {
            summary.values[line.substr(0, colon)] = fields.str();
            continue;
        }
        SeenCommand& command = summary.commands.emplace_back();
        unsigned number = 0;
        fields >> command.timeMs >> std::hex >> number;
        command.code = static_cast<uint8_t>(number);
        summary.codes.push_back(command.code);
        for (uint8_t& param : command.params) {
            fields >> number;
            param = static_cast<uint8_t>(number);
        }
    }
    summary.valid = summary.values.count("reset") != 0;
    return summary;
}

}  // namespace

std::string SimSummary::Value(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

std::string SimulatorPath() {
    return QX_SIMULATOR_PATH;
}

std::string MakePrivateRuntimeDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qx410-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    chmod(pattern.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);
    return pattern;
}

void RemoveRuntimeDir(const std::string& path) {
    std::error_code ignored;
    if (!path.empty()) {
        std::filesystem::remove_all(path, ignored);
    }
}

bool SimProcess::Start(const std::vector<std::string>& arguments, const std::string& published,
                       const std::string& summaryPath, std::string& error) {
    m_summaryPath = summaryPath;
    std::vector<std::string> argvStrings = {SimulatorPath()};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argvStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (m_pid == 0) {
        const int out = open(summaryPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int waited = 0; waited < 5000; waited += 10) {
        struct stat info {};
        if (lstat(published.c_str(), &info) == 0) {
            return true;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            error = "the simulator ended at start-up (status " + std::to_string(status) + ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error = "the simulator did not publish " + published;
    Stop();
    return false;
}

SimSummary SimProcess::Stop() {
    if (m_pid <= 0) {
        return {};
    }
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waitpid(m_pid, &status, WNOHANG) != m_pid; waited += 10) {
        if (waited >= 10000) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_pid = -1;
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ParseSummary(m_summaryPath) : SimSummary{};
}

}  // namespace e2e
