// Runs the camera simulator program as a child process for tests and the benchmark: a fresh private
// device directory (XDG_RUNTIME_DIR), start and wait until the link is published, stop with SIGTERM and
// read back the summary the simulator prints.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// One command as the camera took it: its time (camera milliseconds), code and parameter bytes 1..6.
struct SeenCommand {
    uint32_t timeMs = 0;
    uint8_t code = 0;
    uint8_t params[6] = {};
};

struct SimSummary {
    bool valid = false;  // the simulator ended normally and printed its summary
    std::map<std::string, std::string> values;
    std::vector<SeenCommand> commands;
    std::string Value(const std::string& key) const;
};

// Creates a fresh directory with mode 0700 under the system temporary directory, points
// XDG_RUNTIME_DIR at it and returns its path ("" on failure).
std::string MakePrivateRuntimeDir();
// Removes the directory made above and everything in it.
void RemoveRuntimeDir(const std::string& path);

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator with the arguments and waits (up to 5 s) until `published` exists. The
    // summary goes to summaryPath. False with a message when it does not come up.
    bool Start(const std::vector<std::string>& arguments, const std::string& published,
               const std::string& summaryPath, std::string& error);
    // Asks the simulator to end (SIGTERM), waits for it (up to 10 s, then SIGKILL) and parses its
    // summary.
    SimSummary Stop();
    // Waits for a simulator started with --once to end by itself (up to timeoutMs), then parses.
    SimSummary WaitForExit(uint32_t timeoutMs);

  private:
    SimSummary Reap(uint32_t timeoutMs);

    pid_t m_pid = -1;
    std::string m_summaryPath;
};

// The simulator executable built alongside the tests.
std::string SimulatorPath();

}  // namespace e2e
