// The firmware image's text and version rules. Loading real files of every kind, and the order in which
// the checks are applied, are tested through the update controller (update_controller_test.cpp).
#include "app/firmware_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(CompareText, AgreesOnlyOverNonZeroCharacters) {
    struct {
        const char* text;
        const char* reference;
        int16_t count;
        int16_t expected;
    } const cases[] = {
        {"abc", "abc", 3, 0},   {"abx", "abc", 2, 0},  // differs beyond the count
        {"abx", "abc", 3, 1},   {"Abc", "abc", 3, 1},  // case matters
        {"a\0c", "a\0c", 3, 1},                        // a zero byte differs even from itself
        {"x", "y", 0, 0},       {"x", "y", -5, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CompareText(c.text, c.reference, c.count), c.expected) << c.text << " " << c.count;
    }
}

TEST(VersionRule, ComparesCharactersOneToThreeWithTheLastUpperCased) {
    struct {
        const char* file;    // f0..f3
        const char* camera;  // c0..c3
        bool same;
        char storedLast;  // f3 after the comparison
    } const cases[] = {
        {"x10a", "010A", true, 'A'},  // lower-case last character folded; the first ignored
        {"010A", "010A", true, 'A'},    {"010b", "010A", false, 'B'},
        {"011A", "010A", false, 'A'},   {"0a0A", "0A0A", false, 'A'},  // only the last is folded
        {"010`", "010@", false, '`'},                                  // 0x60 is below the folded range
        {"010\x7f", "010_", true, '_'},                                // 0x7F is its top
    };
    for (const auto& c : cases) {
        char file[4];
        std::memcpy(file, c.file, 4);
        EXPECT_EQ(MatchesCameraVersion(file, c.camera), c.same) << c.file;
        EXPECT_EQ(file[3], c.storedLast) << c.file;
        EXPECT_EQ(std::memcmp(file, c.file, 3), 0) << "only the last character may change";
    }
}

}  // namespace
