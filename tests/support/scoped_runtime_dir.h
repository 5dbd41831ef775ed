// A private XDG_RUNTIME_DIR for one test, so the device directory ($XDG_RUNTIME_DIR/qx410fw) is the
// test's own. The previous value comes back and everything below the directory goes on destruction.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

class ScopedRuntimeDir {
  public:
    // The device directory is made (mode 0700) unless the test wants to make it itself.
    explicit ScopedRuntimeDir(bool makeDeviceDirectory = true) {
        char pattern[] = "/tmp/qx-test-runtime-XXXXXX";
        m_root = mkdtemp(pattern) != nullptr ? pattern : "";
        const char* previous = std::getenv("XDG_RUNTIME_DIR");
        m_previous = previous != nullptr ? std::optional<std::string>(previous) : std::nullopt;
        setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
        if (makeDeviceDirectory) {
            mkdir(DeviceDirectory().c_str(), 0700);
        }
    }
    ~ScopedRuntimeDir() {
        if (m_previous) {
            setenv("XDG_RUNTIME_DIR", m_previous->c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        if (!m_root.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_root, ignored);
        }
    }
    ScopedRuntimeDir(const ScopedRuntimeDir&) = delete;
    ScopedRuntimeDir& operator=(const ScopedRuntimeDir&) = delete;

    const std::string& Root() const { return m_root; }
    std::string DeviceDirectory() const { return m_root + "/qx410fw"; }
    std::string Entry(const std::string& name) const { return DeviceDirectory() + "/" + name; }

  private:
    std::string m_root;
    std::optional<std::string> m_previous;
};

}  // namespace testsupport
