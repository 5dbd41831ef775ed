// The Win32 progress notice: its GDI painting in a DIB section against the notice's pixel model for
// every value (no window, no display needed), and the notice window through the controller's interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "app/update_controller.h"
#include "res/bitmaps.h"
#include "tests/support/no_devices.h"
#include "tests/support/notice_pixel_model.h"
#include "ui_win32/win32_notice.h"
#include "ui_win32/win32_update_ui.h"

namespace {

constexpr uint32_t GREY = 0xC0C0C0;
constexpr int WIDTH = 330, B = 70;

const res::RgbImage& Strip() {
    static const res::RgbImage strip = res::DecodeXpm(res::DigitStripXpm());
    return strip;
}

// The first pixel of picture that differs from the model for value v (digits only withStrip), as
// "x,y: got G, want W"; empty when none does.
std::string FirstDifference(const ui_win32::CMemoryPicture& picture, int v, bool withStrip) {
    const auto glyph = [&](int x, int y) { return withStrip && Strip().At(x, y) == 0xFFFF00u; };
    picture.Flush();
    for (int y = 0; y < picture.Height(); ++y) {
        for (int x = 0; x < picture.Width(); ++x) {
            const uint32_t want = testsupport::ExpectedNoticePixel(glyph, v, x, y, picture.Height(), GREY);
            if (picture.At(x, y) != want) {
                char text[96];
                std::snprintf(text, sizeof text, "%d,%d: got %06X, want %06X", x, y, picture.At(x, y), want);
                return text;
            }
        }
    }
    return {};
}

class NoticePictureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Strip().width, res::DIGIT_STRIP_WIDTH);
        ASSERT_TRUE(m_stripDc.IsValid());
    }
    ui_win32::CDigitStrip m_stripDc;
};

// Every percentage the download reports and beyond: negative values (no bar, no glyph for the sign),
// the bar ending inside a digit, three digits, the bar over the frame and past the picture's edge
// (clipped by GDI) from 101 on.
TEST_F(NoticePictureTest, EveryValueMatchesThePixelModel) {
    ui_win32::CMemoryPicture picture(WIDTH, B);
    ASSERT_TRUE(picture.IsValid());
    for (int v = -20; v <= 120; ++v) {
        picture.Fill(GREY);
        ASSERT_TRUE(ui_win32::PaintNoticePicture(picture.Dc(), B, v, m_stripDc.Dc()));
        ASSERT_EQ(FirstDifference(picture, v, true), "") << "value " << v;
    }
}

// Values arrive as 32-bit numbers and are read as signed 16-bit ones, not clamped.
TEST_F(NoticePictureTest, ValuesAreReadAsSigned16Bit) {
    ui_win32::CMemoryPicture picture(WIDTH, B);
    for (const auto& [value, as16] :
         {std::pair{65536 + 37, 37}, {65535, -1}, {32767, 32767}, {-32768, -32768}}) {
        picture.Fill(GREY);
        ui_win32::PaintNoticePicture(picture.Dc(), B, value, m_stripDc.Dc());
        EXPECT_EQ(FirstDifference(picture, as16, true), "") << value;
    }
}

TEST_F(NoticePictureTest, RepaintLeavesNoTraceAndNoStripDrawsNoDigits) {
    ui_win32::CMemoryPicture picture(WIDTH, B);
    picture.Fill(GREY);
    ui_win32::PaintNoticePicture(picture.Dc(), B, 37, m_stripDc.Dc());
    ui_win32::PaintNoticePicture(picture.Dc(), B, 5, m_stripDc.Dc());  // the frame clears the old XOR
    EXPECT_EQ(FirstDifference(picture, 5, true), "");
    ui_win32::PaintNoticePicture(picture.Dc(), B, 64, nullptr);
    EXPECT_EQ(FirstDifference(picture, 64, false), "");
    ui_win32::CMemoryPicture tiny(5, 5);  // GDI clips: nothing is written outside the picture
    tiny.Fill(GREY);
    EXPECT_TRUE(ui_win32::PaintNoticePicture(tiny.Dc(), 5, 100, m_stripDc.Dc()));
}

// --- The notice window (needs the session's display) ---

TEST(NoticeWindowTest, PlacedBottomRightPaintedAtOnceIgnoresEscAndCloseAndReopens) {
    testsupport::NoDevices devices;
    CUpdateController controller(devices);
    ui_win32::CWin32UpdateUi ui(controller, nullptr, nullptr);
    controller.SetReferenceRect(WindowRect{0, 0, 1000, 700});
    ASSERT_TRUE(ui.OpenNotice(DownloadPhase::Download));
    ui_win32::CWin32Notice* notice = ui.Notice();
    ASSERT_NE(notice, nullptr);
    HWND window = notice->Window();
    EXPECT_TRUE(IsWindowVisible(window));
    RECT outer{};
    GetWindowRect(window, &outer);
    const WindowPosition expected = ComputeNoticePosition(WindowRect{0, 0, 1000, 700},
                                                          outer.right - outer.left, outer.bottom - outer.top);
    EXPECT_EQ(outer.left, expected.x);
    EXPECT_EQ(outer.top, expected.y);
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & WS_SYSMENU, 0);

    ASSERT_TRUE(ui.PaintNotice(1, 48, "Downloading firmware ..."));
    EXPECT_EQ(FirstDifference(*notice->Picture(), 48, true), "");
    ASSERT_TRUE(ui.PaintNotice(1, 50, nullptr));
    wchar_t label[64] = {};
    GetDlgItemTextW(window, 100, label, 64);
    EXPECT_STREQ(label, L"Downloading firmware ...");

    // Esc and a close request leave it open.
    SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindowVisible(window));

    ASSERT_TRUE(ui.OpenNotice(DownloadPhase::Download));
    EXPECT_FALSE(IsWindow(window));
    ui.CloseNotice();
    EXPECT_EQ(ui.Notice(), nullptr);
    EXPECT_FALSE(ui.PaintNotice(1, 50, nullptr));
}

}  // namespace
