// The progress notice: exact pixels of frame, bar and digits, and the notice's placement, label and
// synchronous painting through the controller's interface.
#include <gtest/gtest.h>

#include <QEvent>
#include <QImage>
#include <algorithm>

#include "app/update_controller.h"
#include "tests/support/notice_pixel_model.h"
#include "tests/ui/ui_test_support.h"
#include "ui/bitmaps.h"
#include "ui/controller_host.h"
#include "ui/progress_dlg.h"
#include "ui/qt_update_ui.h"

namespace {

// Colours without their alpha byte, as At() reads them; the picture's width and height (its bottom).
constexpr QRgb BLUE = 0x0000FF, GREY = 0xC0C0C0;
constexpr int WIDTH = 330, B = 70;

const auto At = [](const QImage& image, int x, int y) { return image.pixel(x, y) & 0x00FFFFFFu; };
const auto IsGlyph = [](const QImage& strip, int x, int y) { return At(strip, x, y) == 0xFFFF00u; };

QImage Blank() {
    QImage picture(WIDTH, B, QImage::Format_RGB32);
    picture.fill(GREY);
    return picture;
}

QRgb ExpectedPixel(const QImage& strip, int v, int x, int y) {
    return testsupport::ExpectedNoticePixel([&](int sx, int sy) { return IsGlyph(strip, sx, sy); }, v, x, y,
                                            B, GREY);
}

class ProgressPictureTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        // Every cell of the strip has its glyph: rows 0..9, 8 pixels apart, the percent sign from x 80.
        int lit[11] = {};
        for (int i = 0; i < 920; ++i) {
            lit[std::min(i % 92 / 8, 10)] += IsGlyph(m_strip, i % 92, i / 92) ? 1 : 0;
        }
        ASSERT_GT(*std::min_element(std::begin(lit), std::end(lit)), 10);
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

// 5: two blank cells over the bar; 48: the bar ends at x 153, inside the "4" (x 148..155), which is split
// in colour; 101 and 150: the bar runs over the frame's right edge and beyond; -5: no bar, no glyph for
// the sign.
INSTANTIATE_TEST_SUITE_P(Values, ProgressPictureTest, ::testing::Values(0, 5, 37, 48, 100, 101, 150, -5));

TEST_F(ProgressPictureTest, RepaintingLeavesNoTraceAndValuesAreNotClampedButStayInside) {
    QImage fresh = Blank(), twice = Blank();
    ui::PaintProgressPicture(twice, 37, m_strip);
    ui::PaintProgressPicture(twice, 5, m_strip);  // the frame repaint clears the previous XOR
    ui::PaintProgressPicture(fresh, 5, m_strip);
    EXPECT_EQ(fresh, twice);
    ui::PaintProgressPicture(fresh, 32767, m_strip);
    EXPECT_EQ(At(fresh, WIDTH - 1, B - 20), BLUE);
    QImage tiny(5, 5, QImage::Format_RGB32);
    ui::PaintProgressPicture(tiny, 100, m_strip);  // must not write outside the image
}

// --- The notice through the controller's interface ---

struct PaintCounter final : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int paints = 0;
};

// Opened at the bottom right, painted inside each call (no event loop needed), the label kept when none
// is given; Esc does not close it; a second open replaces it; without the digit strip only the bar shows.
TEST(ProgressNoticeTest, PlacementSynchronousPaintsLabelEscAndReopen) {
    uitest::NoDevices devices;
    CUpdateController controller(devices);
    controller.SetReferenceRect(WindowRect{0, 0, 1024, 740});
    ui::CControllerHost host(controller);
    ui::CQtUpdateUi updateUi(host, nullptr, nullptr);
    ASSERT_TRUE(updateUi.OpenNotice(DownloadPhase::Download));
    ui::CProgressDlg* notice = updateUi.Notice();
    ASSERT_TRUE(notice != nullptr && notice->isVisible());
    const QRect frame = notice->frameGeometry();
    EXPECT_EQ(frame.topLeft(), QPoint(1024 - frame.width() - 10, 740 - frame.height()));

    PaintCounter counter;
    notice->installEventFilter(&counter);
    for (const char* label : {"Downloading firmware ...", static_cast<const char*>(nullptr)}) {
        const int paints = counter.paints;
        ASSERT_TRUE(updateUi.PaintNotice(1, 37, label));
        EXPECT_GT(counter.paints, paints);
    }
    EXPECT_EQ(notice->LabelText().toStdString(), "Downloading firmware ...");
    notice->removeEventFilter(&counter);
    notice->reject();
    notice->close();
    EXPECT_TRUE(notice->isVisible());
    updateUi.CloseNotice();
    EXPECT_EQ(updateUi.Notice(), nullptr);
    EXPECT_FALSE(updateUi.PaintNotice(1, 50, nullptr));

    updateUi.SetDigitStrip(QImage());
    ASSERT_TRUE(updateUi.OpenNotice(DownloadPhase::Download));
    ASSERT_TRUE(updateUi.OpenNotice(DownloadPhase::Download));
    int notices = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        notices += dynamic_cast<ui::CProgressDlg*>(widget) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(notices, 1);
    ASSERT_TRUE(updateUi.PaintNotice(1, 100, "Erasing data block ..."));
    const QImage& picture = updateUi.Notice()->Picture();
    for (int x = 140; x < 176; ++x) {
        EXPECT_EQ(At(picture, x, picture.height() - 22), BLUE) << x;
    }
}

}  // namespace
