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
    std::vector<uint8_t> codes;  // the commands' codes, in the order the camera took them
    std::string Value(const std::string& key) const;
};

// A fresh mode-0700 directory under the system temporary directory, also made XDG_RUNTIME_DIR ("" on
// failure); RemoveRuntimeDir removes it with everything in it.
std::string MakePrivateRuntimeDir();
void RemoveRuntimeDir(const std::string& path);

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator and waits (up to 5 s) until `published` exists; false with a message if not.
    bool Start(const std::vector<std::string>& arguments, const std::string& published,
               const std::string& summaryPath, std::string& error);
    // SIGTERM, then up to 10 s before SIGKILL; the summary (from summaryPath) is valid after a clean end.
    SimSummary Stop();

  private:
    pid_t m_pid = -1;
    std::string m_summaryPath;
};

// The simulator executable built alongside the tests.
std::string SimulatorPath();

}  // namespace e2e
