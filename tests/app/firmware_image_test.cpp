// The firmware image file: loading real files of every kind (right, wrong, short, huge, not regular,
// unreadable) and the identification, length and version rules applied to what was loaded.
#include "app/firmware_image.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "res/strings.h"
#include "tests/app/scripted_ui.h"

namespace {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/qx_image_test_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_path = made != nullptr ? made : "";
    }
    ~TempDir() {
        if (!m_path.empty()) {
            const std::string command = "rm -rf '" + m_path + "'";
            [[maybe_unused]] const int ignored = std::system(command.c_str());
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

std::vector<uint8_t> MakeImage(const char* identification, size_t length, const char* version = "0123") {
    std::vector<uint8_t> image(length);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    const size_t idLength = std::min(std::strlen(identification), length);
    std::memcpy(image.data(), identification, idLength);
    if (length >= VERSION_OFFSET + VERSION_LENGTH) {
        std::memcpy(image.data() + VERSION_OFFSET, version, VERSION_LENGTH);
    }
    return image;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
    return std::fclose(file) == 0 && written == bytes.size();
}

template <class Case>
std::string NameOfCase(const ::testing::TestParamInfo<Case>& testInfo) {
    return testInfo.param.name;
}

// What the update makes of a file: the answer the user gets.
enum class Verdict { Image, WrongFile, ReadError };

struct Outcome {
    Verdict verdict = Verdict::ReadError;
    int32_t length = 0;
    std::vector<std::string> calls;
    int busyDepth = 0;
};

Outcome LoadAndJudge(const std::string& path) {
    ScriptedUi ui;
    Outcome outcome;
    outcome.length = 12345;
    uint8_t* image = LoadFirmwareImage(ui, path.c_str(), outcome.length);
    if (image == nullptr) {
        outcome.verdict = Verdict::ReadError;
    } else if (HasIdentificationText(image, outcome.length) && outcome.length == FIRMWARE_IMAGE_SIZE) {
        outcome.verdict = Verdict::Image;
    } else {
        outcome.verdict = Verdict::WrongFile;
    }
    ReleaseFirmwareImage(image);
    outcome.calls = ui.calls;
    outcome.busyDepth = ui.busyDepth;
    return outcome;
}

const std::vector<std::string> kReadErrorCalls = {"busy on", "busy off", "beep simple",
                                                  "file-error File open or read error!"};
const std::vector<std::string> kQuietCalls = {"busy on", "busy off"};

struct FileCase {
    const char* name;
    // Makes the file in dir and returns its path, or "" to skip the case (reason in skipReason).
    std::function<std::string(const TempDir&, std::string& skipReason)> make;
    Verdict verdict;
    int32_t length;  // expected length out-value; INT32_MIN: not checked
};

std::string WriteImage(const TempDir& dir, const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.Path(name);
    return WriteFile(path, bytes) ? path : std::string();
}

const FileCase kFileCases[] = {
    {"RightQx410Image",
     [](const TempDir& d, std::string&) {
         return WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE));
     },
     Verdict::Image, FIRMWARE_IMAGE_SIZE},
    {"RightQx300Image",
     [](const TempDir& d, std::string&) {
         return WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX300, FIRMWARE_IMAGE_SIZE));
     },
     Verdict::Image, FIRMWARE_IMAGE_SIZE},
    {"Byte48IsNotE",
     [](const TempDir& d, std::string&) {
         auto image = MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE);
         image[48] = 'X';
         return WriteImage(d, "a.fw", image);
     },
     Verdict::Image, FIRMWARE_IMAGE_SIZE},
    {"ZeroByteInIdentification",
     [](const TempDir& d, std::string&) {
         auto image = MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE);
         image[20] = 0;
         return WriteImage(d, "a.fw", image);
     },
     Verdict::WrongFile, FIRMWARE_IMAGE_SIZE},
    {"LastComparedCharacterDiffers",
     [](const TempDir& d, std::string&) {
         auto image = MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE);
         image[47] = 'R';
         return WriteImage(d, "a.fw", image);
     },
     Verdict::WrongFile, FIRMWARE_IMAGE_SIZE},
    {"OneByteShort",
     [](const TempDir& d, std::string&) {
         return WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE - 1));
     },
     Verdict::WrongFile, FIRMWARE_IMAGE_SIZE - 1},
    {"OneByteLong",
     [](const TempDir& d, std::string&) {
         return WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE + 1));
     },
     Verdict::WrongFile, FIRMWARE_IMAGE_SIZE + 1},
    {"ShortImageWithRightIdentification",
     [](const TempDir& d, std::string&) {
         return WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX410, 60));
     },
     Verdict::WrongFile, 60},
    {"ShorterThanIdentification",
     [](const TempDir& d, std::string&) {
         return WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX410, 30));
     },
     Verdict::WrongFile, 30},
    {"EmptyFile", [](const TempDir& d, std::string&) { return WriteImage(d, "a.fw", {}); },
     Verdict::ReadError, 0},
    {"MissingFile", [](const TempDir& d, std::string&) { return d.Path("none.fw"); }, Verdict::ReadError,
     12345},
    {"Directory",
     [](const TempDir& d, std::string&) {
         const std::string path = d.Path("dir.fw");
         return ::mkdir(path.c_str(), 0700) == 0 ? path : std::string();
     },
     Verdict::WrongFile, NOT_A_REGULAR_FILE_LENGTH},
    {"FifoWithoutWriter",
     [](const TempDir& d, std::string&) {
         const std::string path = d.Path("fifo.fw");
         return ::mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
     },
     Verdict::WrongFile, NOT_A_REGULAR_FILE_LENGTH},
    {"DevZero", [](const TempDir&, std::string&) { return std::string("/dev/zero"); }, Verdict::WrongFile,
     NOT_A_REGULAR_FILE_LENGTH},
    {"SparseBeyond4GiBWrappingToImageLength",
     [](const TempDir& d, std::string& skip) {
         // 4 GiB + the image length: cut to 32 bits it would read as exactly the image length.
         const std::string path = WriteImage(d, "big.fw", MakeImage(IDENTIFICATION_QX410, 4096));
         const int fd = ::open(path.c_str(), O_WRONLY);
         const off_t size = (off_t{1} << 32) + FIRMWARE_IMAGE_SIZE;
         const bool grown = fd >= 0 && ::ftruncate(fd, size) == 0;
         if (fd >= 0) {
             ::close(fd);
         }
         if (!grown) {
             skip = "the filesystem refuses a sparse file beyond 4 GiB";
             return std::string();
         }
         return path;
     },
     Verdict::WrongFile, FIRMWARE_IMAGE_SIZE + 1},
    {"Unreadable",
     [](const TempDir& d, std::string& skip) {
         if (::geteuid() == 0) {
             skip = "root reads files whatever their permissions";
             return std::string();
         }
         const std::string path = WriteImage(d, "a.fw", MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE));
         ::chmod(path.c_str(), 0);
         return path;
     },
     Verdict::ReadError, 12345},
};

class FirmwareFileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(FirmwareFileTest, GetsTheAnswerForItsKind) {
    const FileCase& fileCase = GetParam();
    TempDir dir;
    std::string skip;
    const std::string path = fileCase.make(dir, skip);
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
    ASSERT_FALSE(path.empty()) << "could not make the test file";

    const Outcome outcome = LoadAndJudge(path);

    EXPECT_EQ(outcome.verdict, fileCase.verdict);
    EXPECT_EQ(outcome.length, fileCase.length);
    EXPECT_EQ(outcome.calls, fileCase.verdict == Verdict::ReadError ? kReadErrorCalls : kQuietCalls);
    EXPECT_EQ(outcome.busyDepth, 0);
    EXPECT_EQ(CountLiveFirmwareImages(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, FirmwareFileTest, ::testing::ValuesIn(kFileCases), NameOfCase<FileCase>);

TEST(FirmwareImageLoad, HoldsTheWholeFileAndLeavesItUnchanged) {
    TempDir dir;
    const auto bytes = MakeImage(IDENTIFICATION_QX410, FIRMWARE_IMAGE_SIZE, "x10a");
    const std::string path = dir.Path("a.fw");
    ASSERT_TRUE(WriteFile(path, bytes));
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    ScriptedUi ui;
    int32_t length = 0;
    uint8_t* image = LoadFirmwareImage(ui, path.c_str(), length);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(length, FIRMWARE_IMAGE_SIZE);
    EXPECT_EQ(std::memcmp(image, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(CountLiveFirmwareImages(), 1);
    ReleaseFirmwareImage(image);
    EXPECT_EQ(CountLiveFirmwareImages(), 0);

    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(FirmwareImageLoad, MeasuringKeepsTheFilePosition) {
    TempDir dir;
    const std::string path = dir.Path("a.fw");
    ASSERT_TRUE(WriteFile(path, std::vector<uint8_t>(5000, 1)));
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    ASSERT_EQ(file.Seek(123, platform::SeekOrigin::Begin), 123);
    EXPECT_EQ(GetFileLength(file), 5000);
    EXPECT_EQ(file.Seek(0, platform::SeekOrigin::Current), 123);
}

struct CompareCase {
    const char* name;
    std::vector<char> text;
    std::vector<char> reference;
    int16_t count;
    int16_t expected;
};

class CompareTextTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareTextTest, AgreesOnlyOverNonZeroCharacters) {
    const CompareCase& c = GetParam();
    EXPECT_EQ(CompareText(c.text.data(), c.reference.data(), c.count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CompareTextTest,
    ::testing::Values(CompareCase{"Equal", {'a', 'b', 'c'}, {'a', 'b', 'c'}, 3, 0},
                      CompareCase{"DifferBeyondCount", {'a', 'b', 'x'}, {'a', 'b', 'c'}, 2, 0},
                      CompareCase{"DifferAtLast", {'a', 'b', 'x'}, {'a', 'b', 'c'}, 3, 1},
                      CompareCase{"ZeroInBoth", {'a', 0, 'c'}, {'a', 0, 'c'}, 3, 1},
                      CompareCase{"CaseMatters", {'A', 'b', 'c'}, {'a', 'b', 'c'}, 3, 1},
                      CompareCase{"CountZero", {'x'}, {'y'}, 0, 0},
                      CompareCase{"CountNegative", {'x'}, {'y'}, -5, 0}),
    NameOfCase<CompareCase>);

struct VersionCase {
    const char* name;
    const char* file;    // f0..f3
    const char* camera;  // c0..c3
    bool same;
    char storedLast;  // f3 after the comparison
};

class VersionRuleTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionRuleTest, ComparesCharactersOneToThreeWithTheLastUpperCased) {
    const VersionCase& c = GetParam();
    char file[4];
    std::memcpy(file, c.file, 4);
    EXPECT_EQ(MatchesCameraVersion(file, c.camera), c.same);
    EXPECT_EQ(file[3], c.storedLast);
    EXPECT_EQ(std::memcmp(file, c.file, 3), 0) << "only the last character may change";
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionRuleTest,
                         ::testing::Values(VersionCase{"LowerCaseLastMatches", "x10a", "010A", true, 'A'},
                                           VersionCase{"FirstCharacterIgnored", "910A", "010A", true, 'A'},
                                           VersionCase{"UpperCaseLastMatches", "010A", "010A", true, 'A'},
                                           VersionCase{"OtherLastLetter", "010b", "010A", false, 'B'},
                                           VersionCase{"MiddleDiffers", "011A", "010A", false, 'A'},
                                           VersionCase{"OnlyLastIsFolded", "0a0A", "0A0A", false, 'A'},
                                           VersionCase{"BacktickIsNotFolded", "010`", "010@", false, '`'},
                                           VersionCase{"DelFoldsToUnderscore", "010\x7f", "010_", true, '_'}),
                         NameOfCase<VersionCase>);

TEST(FirmwareImageVersion, CopiesTheFourCharactersAtOffset61) {
    const auto image = MakeImage(IDENTIFICATION_QX300, 128, "x10a");
    char version[4] = {};
    CopyFileVersion(image.data() + VERSION_OFFSET, version);
    EXPECT_EQ(std::string(version, 4), "x10a");
}

}  // namespace
