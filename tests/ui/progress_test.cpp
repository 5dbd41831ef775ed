// The progress notice: exact pixels of frame, bar and digits, and the notice's placement, label and
// synchronous painting through the controller's interface.
#include <gtest/gtest.h>

#include <QEvent>
#include <QImage>

#include "app/update_controller.h"
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
constexpr int B = 70;  // the picture's height: its bottom

QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0x00FFFFFFu;
}

QImage Blank() {
    QImage picture(WIDTH, B, QImage::Format_RGB32);
    picture.fill(GREY);
    return picture;
}

bool IsGlyph(const QImage& strip, int x, int y) {
    return At(strip, x, y) == 0xFFFF00u;
}

// The picture for value v: black frame x 9..310, y B-31..B-12; inside, blue up to 10 + 3v and white
// after; "%3d:" XOR-ed in from the strip at (140 + 8i, B-27), ':' being the 12-pixel percent sign.
QRgb ExpectedPixel(const QImage& strip, int v, int x, int y) {
    if (x < 9 || x > 310 || y < B - 31 || y > B - 12) {
        return GREY;
    }
    if (x == 9 || x == 310 || y == B - 31 || y == B - 12) {
        return BLACK;
    }
    const QRgb base = x < 10 + 3 * v ? BLUE : WHITE;
    char text[8];
    std::snprintf(text, sizeof text, "%3d:", v);
    for (int cell = 0; cell < 4; ++cell) {
        const char c = text[cell];
        const int col = x - (140 + 8 * cell);
        const int row = y - (B - 27);
        if (c >= '0' && c <= ':' && col >= 0 && col < (c == ':' ? 12 : 8) && row >= 0 && row < 10 &&
            IsGlyph(strip, 8 * (c - '0') + col, row)) {
            return base == WHITE ? BLUE : WHITE;
        }
    }
    return base;
}

class ProgressPictureTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        uitest::TestApplication();
        ASSERT_FALSE(m_strip.isNull());
    }
    QImage m_strip = ui::LoadDigitStrip();
};

TEST_P(ProgressPictureTest, FrameBarAndDigitsArePixelExact) {
    const int v = GetParam();
    QImage picture = Blank();
    ui::PaintProgressPicture(picture, v, m_strip);
    for (int y = 0; y < B; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            ASSERT_EQ(At(picture, x, y), ExpectedPixel(m_strip, v, x, y))
                << "value " << v << " at " << x << "," << y;
        }
    }
}

// 5: two blank cells over the bar; 48: the bar ends inside the "4"; -5: no bar, no glyph for the sign.
INSTANTIATE_TEST_SUITE_P(Values, ProgressPictureTest, ::testing::Values(0, 5, 37, 48, 100, -5));

TEST_F(ProgressPictureTest, DigitStraddlingTheBarsEndIsSplitInColour) {
    QImage picture = Blank();
    ui::PaintProgressPicture(picture, 48, m_strip);  // the bar ends at x 153, inside the "4" at x 148..155
    int white = 0;
    int blue = 0;
    for (int y = 0; y < 10; ++y) {
        for (int col = 0; col < 8; ++col) {
            if (IsGlyph(m_strip, 32 + col, y)) {
                const QRgb pixel = At(picture, 148 + col, B - 27 + y);
                EXPECT_EQ(pixel, 148 + col < 154 ? WHITE : BLUE);
                (pixel == BLUE ? blue : white)++;
            }
        }
    }
    EXPECT_GT(blue, 0);
    EXPECT_GT(white, 0);
}

TEST_F(ProgressPictureTest, RepaintingLeavesNoTraceOfThePreviousPicture) {
    QImage once = Blank();
    ui::PaintProgressPicture(once, 37, m_strip);
    QImage twice = once;
    ui::PaintProgressPicture(twice, 37, m_strip);
    EXPECT_EQ(once, twice);  // the frame repaint clears the previous XOR
    QImage fresh = Blank();
    ui::PaintProgressPicture(fresh, 5, m_strip);
    ui::PaintProgressPicture(twice, 5, m_strip);
    EXPECT_EQ(fresh, twice);
}

TEST_F(ProgressPictureTest, ValuesAreNotClampedButStayInsideThePicture) {
    QImage picture = Blank();
    ui::PaintProgressPicture(picture, 32767, m_strip);
    EXPECT_EQ(At(picture, WIDTH - 1, B - 20), BLUE);
    QImage tiny(5, 5, QImage::Format_RGB32);
    tiny.fill(GREY);
    ui::PaintProgressPicture(tiny, 100, m_strip);  // must not write outside the image
}

// --- The notice through the controller's interface ---

class PaintCounter final : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
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
    EXPECT_EQ(frame.topLeft(), QPoint(1024 - frame.width() - 10, 740 - frame.height()));

    PaintCounter counter;
    notice->installEventFilter(&counter);
    ASSERT_TRUE(updateUi.PaintNotice(0, 0, "Downloading firmware ..."));
    EXPECT_GE(counter.paints, 1);  // painted inside the call, no event loop needed
    const int paints = counter.paints;
    ASSERT_TRUE(updateUi.PaintNotice(1, 37, nullptr));
    EXPECT_GT(counter.paints, paints);
    EXPECT_EQ(notice->LabelText().toStdString(), "Downloading firmware ...");  // null keeps the label
    const int b = notice->Picture().height();
    EXPECT_EQ(At(notice->Picture(), 120, b - 20), BLUE);
    EXPECT_EQ(At(notice->Picture(), 121, b - 20), WHITE);

    ASSERT_TRUE(updateUi.PaintNotice(3, 37, "Downloading firmware failed."));
    EXPECT_EQ(notice->LabelText().toStdString(), "Downloading firmware failed.");
    notice->removeEventFilter(&counter);
    updateUi.CloseNotice();
    EXPECT_EQ(updateUi.Notice(), nullptr);
    EXPECT_FALSE(updateUi.PaintNotice(1, 50, nullptr));
}

TEST(ProgressNoticeTest, WithoutTheStripNoDigitsEscDoesNotCloseAndASecondOpenReplacesIt) {
    uitest::TestApplication();
    uitest::RecordingHost host;
    ui::CQtUpdateUi updateUi(host, nullptr, nullptr);
    updateUi.SetDigitStrip(QImage());
    ASSERT_TRUE(updateUi.OpenNotice());
    ASSERT_TRUE(updateUi.PaintNotice(1, 100, "Erasing data block ..."));
    const QImage& picture = updateUi.Notice()->Picture();
    for (int x = 140; x < 176; ++x) {
        EXPECT_EQ(At(picture, x, picture.height() - 22), BLUE) << x;
    }
    updateUi.Notice()->reject();
    updateUi.Notice()->close();
    EXPECT_TRUE(updateUi.Notice()->isVisible());

    ASSERT_TRUE(updateUi.OpenNotice());
    EXPECT_EQ(host.noticeSizes.size(), 2u);
    int notices = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        notices += dynamic_cast<ui::CProgressDlg*>(widget) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(notices, 1);
}

}  // namespace
