// The progress notice: exact pixels of frame, bar and digits, the notice's placement, label and
// synchronous painting through the controller's interface.
#include <gtest/gtest.h>

#include <QEvent>
#include <QImage>
#include <QLabel>

#include "app/update_controller.h"
#include "res/bitmaps.h"
#include "tests/ui/ui_test_support.h"
#include "ui/bitmaps.h"
#include "ui/controller_host.h"
#include "ui/progress_dlg.h"
#include "ui/qt_update_ui.h"

namespace {

// Colours without their alpha byte, as At() reads them.
constexpr QRgb WHITE = 0xFFFFFF;
constexpr QRgb BLACK = 0x000000;
constexpr QRgb BLUE = 0x0000FF;
constexpr QRgb GREY = 0xC0C0C0;
constexpr int WIDTH = 330;
constexpr int HEIGHT = 70;
constexpr int B = HEIGHT;

QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0x00FFFFFFu;
}

QImage Blank() {
    QImage picture(WIDTH, HEIGHT, QImage::Format_RGB32);
    picture.fill(GREY);
    return picture;
}

bool IsGlyph(const QImage& strip, int x, int y) {
    return At(strip, x, y) == 0xFFFF00u;
}

// What the percentage block should hold for text "%3d:" over the bar ending at barRight (exclusive).
QRgb ExpectedPercentPixel(const QImage& strip, const char* text, int barRight, int x, int y) {
    const QRgb base = x < barRight ? BLUE : WHITE;
    const int i = (x - 140) / 8;
    for (int cell = std::max(0, i - 1); cell <= std::min(3, i); ++cell) {
        const char c = text[cell];
        if (c < '0' || c > ':') {
            continue;
        }
        const int width = c == ':' ? 12 : 8;
        const int col = x - (140 + 8 * cell);
        const int row = y - (B - 27);
        if (col < 0 || col >= width || row < 0 || row >= 10) {
            continue;
        }
        if (IsGlyph(strip, 8 * (c - '0') + col, row)) {
            return base == WHITE ? BLUE : WHITE;
        }
    }
    return base;
}

class ProgressPictureTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        uitest::TestApplication();
        m_strip = ui::LoadDigitStrip();
        ASSERT_FALSE(m_strip.isNull());
    }
    QImage m_strip;
};

TEST_P(ProgressPictureTest, FrameBarAndDigitsArePixelExact) {
    const int v = GetParam();
    QImage picture = Blank();
    ui::PaintProgressPicture(picture, v, m_strip);
    char text[8];
    std::snprintf(text, sizeof text, "%3d:", v);
    const int barRight = 10 + 3 * v;
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            QRgb expected = GREY;
            const bool onFrame = x >= 9 && x <= 310 && y >= B - 31 && y <= B - 12;
            const bool inside = x >= 10 && x <= 309 && y >= B - 30 && y <= B - 13;
            if (inside) {
                expected = (x < barRight) ? BLUE : WHITE;
                if (x >= 140 && x < 176 && y >= B - 27 && y < B - 17) {
                    expected = ExpectedPercentPixel(m_strip, text, barRight, x, y);
                }
            } else if (onFrame) {
                expected = BLACK;
            }
            ASSERT_EQ(At(picture, x, y), expected) << "value " << v << " at " << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ProgressPictureTest, ::testing::Values(0, 5, 37, 48, 100));

TEST_F(ProgressPictureTest, DigitsReadBlueOverWhiteWhiteOverTheBarAndSplitAtTheBarsEnd) {
    QImage picture = Blank();
    // 48: the bar ends at x 153, inside the "4" at x 148..155.
    ui::PaintProgressPicture(picture, 48, m_strip);
    int blueGlyph = 0;
    int whiteGlyph = 0;
    for (int y = 0; y < 10; ++y) {
        for (int col = 0; col < 8; ++col) {
            if (!IsGlyph(m_strip, 32 + col, y)) {
                continue;
            }
            const QRgb pixel = At(picture, 148 + col, B - 27 + y);
            EXPECT_EQ(pixel, 148 + col < 154 ? WHITE : BLUE);
            (pixel == BLUE ? blueGlyph : whiteGlyph)++;
        }
    }
    EXPECT_GT(blueGlyph, 0);
    EXPECT_GT(whiteGlyph, 0);
    // 100: "100%" wholly over the bar.
    ui::PaintProgressPicture(picture, 100, m_strip);
    EXPECT_EQ(At(picture, 309, B - 13), BLUE);
    EXPECT_EQ(At(picture, 310, B - 13), BLACK);
    for (int x = 140; x < 176; ++x) {
        for (int y = B - 27; y < B - 17; ++y) {
            EXPECT_NE(At(picture, x, y), BLACK);
        }
    }
}

TEST_F(ProgressPictureTest, RepaintingTheSameValueGivesTheSamePicture) {
    QImage once = Blank();
    ui::PaintProgressPicture(once, 37, m_strip);
    QImage twice = once;
    ui::PaintProgressPicture(twice, 37, m_strip);
    EXPECT_EQ(once, twice);
    // A larger value then a smaller one leaves no trace of the larger.
    QImage fresh = Blank();
    ui::PaintProgressPicture(fresh, 5, m_strip);
    ui::PaintProgressPicture(twice, 5, m_strip);
    EXPECT_EQ(fresh, twice);
}

TEST_F(ProgressPictureTest, WithoutTheStripOnlyFrameAndBarArePainted) {
    QImage picture = Blank();
    ui::PaintProgressPicture(picture, 37, QImage());
    for (int x = 10; x <= 309; ++x) {
        EXPECT_EQ(At(picture, x, B - 22), x < 121 ? BLUE : WHITE) << x;
    }
}

TEST_F(ProgressPictureTest, OutOfRangeValuesStayInsideThePicture) {
    // Not clamped: a value over 100 paints past the frame up to the picture's edge; a negative one
    // paints no bar and no glyph for the sign.
    QImage picture = Blank();
    ui::PaintProgressPicture(picture, 32767, m_strip);
    EXPECT_EQ(At(picture, WIDTH - 1, B - 20), BLUE);
    ui::PaintProgressPicture(picture, -5, m_strip);
    EXPECT_EQ(At(picture, 10, B - 20), WHITE);
    ui::PaintProgressPicture(picture, 70000, m_strip);  // as signed 16-bit: 4464
    QImage tiny(5, 5, QImage::Format_RGB32);
    tiny.fill(GREY);
    ui::PaintProgressPicture(tiny, 100, m_strip);
    SUCCEED();
}

// --- The notice through the controller's interface ---

class PaintCounter final : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
    int paints = 0;
};

TEST(ProgressNoticeTest, OpensAtTheBottomRightAndPaintsEachEventBeforeReturning) {
    uitest::TestApplication();
    uitest::NoDevices devices;
    CUpdateController controller(devices);
    controller.m_rcReference = WindowRect{0, 0, 1024, 740};
    ui::CControllerHost host(controller);
    ui::CQtUpdateUi updateUi(host, nullptr, nullptr);

    ASSERT_TRUE(updateUi.OpenNotice());
    ui::CProgressDlg* notice = updateUi.Notice();
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->isVisible());
    const QRect frame = notice->frameGeometry();
    EXPECT_EQ(frame.x(), 1024 - frame.width() - 10);
    EXPECT_EQ(frame.y(), 740 - frame.height());

    PaintCounter counter;
    notice->installEventFilter(&counter);
    ASSERT_TRUE(updateUi.PaintNotice(0, 0, "Downloading firmware ..."));
    EXPECT_EQ(notice->LabelText().toStdString(), "Downloading firmware ...");
    EXPECT_GE(counter.paints, 1);  // painted inside the call, no event loop needed
    const int b = notice->Picture().height();
    EXPECT_EQ(notice->Picture().pixel(10, b - 20) & 0xFFFFFFu, WHITE);

    const int before = counter.paints;
    ASSERT_TRUE(updateUi.PaintNotice(1, 37, nullptr));
    EXPECT_GT(counter.paints, before);
    EXPECT_EQ(notice->LabelText().toStdString(), "Downloading firmware ...");  // null keeps the label
    EXPECT_EQ(notice->Picture().pixel(120, b - 20) & 0xFFFFFFu, BLUE);
    EXPECT_EQ(notice->Picture().pixel(121, b - 20) & 0xFFFFFFu, WHITE);

    ASSERT_TRUE(updateUi.PaintNotice(3, 37, "Downloading firmware failed."));
    EXPECT_EQ(notice->LabelText().toStdString(), "Downloading firmware failed.");
    notice->removeEventFilter(&counter);
    updateUi.CloseNotice();
    EXPECT_EQ(updateUi.Notice(), nullptr);
    EXPECT_FALSE(updateUi.PaintNotice(1, 50, nullptr));
}

TEST(ProgressNoticeTest, NoticeWithoutStripDrawsNoDigitsAndEscDoesNotCloseIt) {
    uitest::TestApplication();
    uitest::RecordingHost host;
    ui::CQtUpdateUi updateUi(host, nullptr, nullptr);
    updateUi.SetDigitStrip(QImage());
    ASSERT_TRUE(updateUi.OpenNotice());
    EXPECT_EQ(host.noticeSizes.size(), 1u);
    ASSERT_TRUE(updateUi.PaintNotice(1, 100, "Erasing data block ..."));
    const QImage& picture = updateUi.Notice()->Picture();
    const int b = picture.height();
    for (int x = 140; x < 176; ++x) {
        EXPECT_EQ(picture.pixel(x, b - 22) & 0xFFFFFFu, BLUE);
    }
    updateUi.Notice()->reject();
    updateUi.Notice()->close();
    EXPECT_TRUE(updateUi.Notice()->isVisible());
    // A second open replaces the first notice: never two at a time.
    ASSERT_TRUE(updateUi.OpenNotice());
    EXPECT_EQ(host.noticeSizes.size(), 2u);
    int notices = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        notices += dynamic_cast<ui::CProgressDlg*>(widget) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(notices, 1);
}

}  // namespace
