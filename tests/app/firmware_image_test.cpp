// The firmware image's file path: the load reads a real file into one block of its length (capped one
// byte past the image size) and the checks on that block agree with the checks on the same bytes in
// memory, for the image fuzz target's corpus (its inputs laid out as that target lays them out) and
// for the lengths around every check's edge.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "tests/app/scripted_ui.h"
#include "tests/support/scoped_runtime_dir.h"

namespace {

// A good image's bytes cut or zero-extended to size.
std::vector<uint8_t> ImageOfSize(size_t size) {
    std::vector<uint8_t> bytes(std::max<size_t>(size, FIRMWARE_HEADER_SIZE), 0);
    std::memcpy(bytes.data(), IDENTIFICATION_QX410, IDENTIFICATION_LENGTH);
    std::memcpy(bytes.data() + VERSION_OFFSET, "0210", VERSION_LENGTH);
    bytes.resize(size, 0);
    return bytes;
}

// A fuzz input as firmware_image_fuzz reads it: byte 0 bit 0 zero-extends the content (from byte 6) to
// the image size plus the signed byte 1.
std::vector<uint8_t> FileOfFuzzInput(const std::vector<uint8_t>& input) {
    if (input.size() < 6) {
        return {};
    }
    std::vector<uint8_t> bytes(input.begin() + 6, input.end());
    if ((input[0] & 1) != 0) {
        const size_t padded = static_cast<size_t>(FIRMWARE_IMAGE_SIZE + static_cast<int8_t>(input[1]));
        bytes.resize(std::max(padded, bytes.size()), 0);
    }
    return bytes;
}

bool SameChecks(const ImageChecks& a, const ImageChecks& b) {
    return a.identified == b.identified && a.hasVersion == b.hasVersion && a.rightLength == b.rightLength &&
           std::memcmp(a.version, b.version, sizeof a.version) == 0;
}

class FirmwareImageFileTest : public ::testing::Test {
  protected:
    std::string Write(const std::vector<uint8_t>& bytes) {
        const std::string path = m_dir.Root() + "/image.fw";
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Loads bytes through a file and expects the block and its checks to be those of the bytes in memory.
    void ExpectLoadAgrees(const std::vector<uint8_t>& bytes, const std::string& name) {
        SCOPED_TRACE(name + " (" + std::to_string(bytes.size()) + " bytes)");
        ScriptedUi ui;
        int32_t length = 0;
        FirmwareImage image(LoadFirmwareImage(ui, Write(bytes).c_str(), length));
        if (bytes.empty()) {
            EXPECT_FALSE(image) << "an empty file is a read error";
            return;
        }
        ASSERT_TRUE(image);
        const size_t expected = std::min<size_t>(bytes.size(), FIRMWARE_IMAGE_SIZE + 1);
        ASSERT_EQ(static_cast<size_t>(length), expected);
        EXPECT_EQ(std::memcmp(image.get(), bytes.data(), expected), 0);
        EXPECT_TRUE(SameChecks(CheckFirmwareImage(image.get(), length),
                               CheckFirmwareImage(bytes.data(), static_cast<int32_t>(expected))));
    }

    testsupport::ScopedRuntimeDir m_dir{false};
};

TEST_F(FirmwareImageFileTest, LoadedBlockAndChecksAgreeWithTheBytesInMemory) {
    for (const size_t size :
         {size_t{0}, size_t{1}, size_t{IDENTIFICATION_LENGTH - 1}, size_t{IDENTIFICATION_LENGTH},
          size_t{VERSION_OFFSET + VERSION_LENGTH - 1}, size_t{VERSION_OFFSET + VERSION_LENGTH},
          size_t{FIRMWARE_IMAGE_SIZE - 1}, size_t{FIRMWARE_IMAGE_SIZE}, size_t{FIRMWARE_IMAGE_SIZE + 1},
          size_t{FIRMWARE_IMAGE_SIZE + 4096}}) {
        ExpectLoadAgrees(ImageOfSize(size), "image cut or extended");
    }
    const ImageChecks good = CheckFirmwareImage(ImageOfSize(FIRMWARE_IMAGE_SIZE).data(), FIRMWARE_IMAGE_SIZE);
    EXPECT_FALSE(good.WrongFile());
    EXPECT_EQ(std::string(good.version, 4), "0210");
}

TEST_F(FirmwareImageFileTest, FuzzCorpusThroughTheFile) {
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QX_IMAGE_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        ExpectLoadAgrees(FileOfFuzzInput(input), entry.path().filename().string());
        ++inputs;
    }
    EXPECT_GT(inputs, 0u) << "no corpus in " << QX_IMAGE_FUZZ_CORPUS;
}

// A directory holds no image: the one-byte stand-in, which every check rejects.
TEST_F(FirmwareImageFileTest, DirectoryIsAWrongFile) {
    ScriptedUi ui;
    int32_t length = 0;
    FirmwareImage image(LoadFirmwareImage(ui, m_dir.Root().c_str(), length));
    ASSERT_TRUE(image);
    EXPECT_EQ(length, NOT_A_REGULAR_FILE_LENGTH);
    EXPECT_TRUE(CheckFirmwareImage(image.get(), length).WrongFile());
}

}  // namespace
