// A scratch folder standing for part of a machine (sysfs, /proc, /dev): files and symbolic links made by
// their path inside it, parents included; removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

class ScratchTree {
  public:
    ScratchTree() {
        char pattern[] = "/tmp/qx-test-tree-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            m_root = pattern;
        }
    }
    ~ScratchTree() {
        if (!m_root.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_root, ignored);
        }
    }
    ScratchTree(const ScratchTree&) = delete;
    ScratchTree& operator=(const ScratchTree&) = delete;

    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& path) const { return m_root + "/" + path; }

    void Write(const std::string& path, const std::string& text) const {
        MakeParent(path);
        std::ofstream(Path(path)) << text;
    }
    void Link(const std::string& target, const std::string& path) const {
        MakeParent(path);
        EXPECT_EQ(symlink(target.c_str(), Path(path).c_str()), 0) << path;
    }

  private:
    void MakeParent(const std::string& path) const {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(Path(path)).parent_path(), ignored);
    }
    std::string m_root;
};

}  // namespace testsupport
