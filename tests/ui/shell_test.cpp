// The application shell and the bitmaps: title and window flags, the status line, the centred and
// clipped background picture, the start timer armed by the first paint only and run once, the frame
// closing when the update returns, and the digit strip's cell geometry.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include "app/shell/main_frame.h"
#include "app/update_controller.h"
#include "res/bitmaps.h"
#include "res/strings.h"
#include "tests/ui/ui_test_support.h"
#include "ui/bitmaps.h"

namespace {

TEST(ShellTest, PicturePositionCentresWithTruncatedHalves) {
    const std::vector<std::pair<QSize, QPoint>> cases{
        {QSize(526, 394), QPoint(0, 0)},      {QSize(1024, 746), QPoint(249, 176)},
        {QSize(1025, 747), QPoint(249, 176)}, {QSize(400, 300), QPoint(-63, -47)},
        {QSize(1, 1), QPoint(-263, -197)},
    };
    for (const auto& [size, position] : cases) {
        EXPECT_EQ(CQx250fwView::PicturePosition(size), position) << size.width() << "x" << size.height();
    }
}

class MainFrameTest : public ::testing::Test {
  protected:
    void SetUp() override { uitest::TestApplication(); }
    uitest::NoDevices m_devices;
};

TEST_F(MainFrameTest, TitleFlagsStatusLineAndDesktopSize) {
    CMainFrame frame(m_devices);
    EXPECT_EQ(frame.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_FALSE(frame.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(frame.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(frame.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(frame.geometry(), QGuiApplication::primaryScreen()->availableGeometry());
    ASSERT_NE(frame.Controller(), nullptr);
    EXPECT_EQ(g_pController, frame.Controller());
    EXPECT_EQ(frame.Controller()->StatusText(), res::LoadString(res::IDS_SELECT_PORT));
}

TEST_F(MainFrameTest, ViewDrawsThePictureCentredAndClipped) {
    CQx250fwView view(nullptr);
    const QImage picture = ui::CreateBackgroundPicture().convertToFormat(QImage::Format_RGB32);
    for (const QSize size : {QSize(800, 600), QSize(400, 300)}) {
        view.resize(size);
        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QPoint at = CQx250fwView::PicturePosition(size);
        for (const QPoint p : {QPoint(0, 0), QPoint(262, 196), QPoint(525, 393), QPoint(100, 300)}) {
            const QPoint onView = at + p;
            if (!shown.rect().contains(onView)) {
                continue;
            }
            EXPECT_EQ(shown.pixel(onView), picture.pixel(p)) << size.width() << " " << p.x() << "," << p.y();
        }
        if (at.x() > 0) {
            EXPECT_EQ(shown.pixel(at.x() - 1, at.y()) & 0xFFFFFFu, 0xFFFFFFu);  // white around it
        }
    }
}

TEST_F(MainFrameTest, FirstPaintArmsTheStartOnceAndTheFrameClosesWhenTheUpdateReturns) {
    CMainFrame frame(m_devices);
    int runs = 0;
    bool closeRefusedWhileRunning = false;
    frame.SetStartAction([&] {
        ++runs;
        // Ctrl+Q while the update runs must not pull the controller away.
        frame.CloseApp();
        closeRefusedWhileRunning = frame.isVisible() && g_pController == frame.Controller();
    });
    frame.show();
    QElapsedTimer clock;
    clock.start();
    frame.View()->repaint();
    QTest::qWait(100);
    EXPECT_EQ(runs, 0);  // 200 ms after the first paint, not before
    frame.View()->repaint();
    frame.View()->repaint();
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs > 0; }, 3000));
    EXPECT_GE(clock.elapsed(), 190);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(closeRefusedWhileRunning);
    EXPECT_FALSE(frame.isVisible());  // closed as soon as the update returned
    frame.show();
    frame.View()->repaint();
    QTest::qWait(400);
    EXPECT_EQ(runs, 1);  // later paints never start it again
}

TEST_F(MainFrameTest, AboutBoxIsBuiltFromItsTemplate) {
    CAboutDlg about(nullptr);
    EXPECT_EQ(about.windowTitle().toStdString(), "About Corva QX410 Zoom Digital Camera Update Software");
    EXPECT_EQ(about.GetControlText(res::IDC_OK).toStdString(), "OK");
}

TEST(BitmapTest, DigitStripHasTheCellGeometryAndColours) {
    uitest::TestApplication();
    const QImage strip = ui::LoadDigitStrip();
    ASSERT_EQ(strip.size(), QSize(res::DIGIT_STRIP_WIDTH, res::DIGIT_STRIP_HEIGHT));
    const QRgb yellow = qRgb(255, 255, 0);
    const QRgb black = qRgb(0, 0, 0);
    const QRgb white = qRgb(255, 255, 255);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 96; ++x) {
            const QRgb pixel = strip.pixel(x, y);
            if (y >= 13 || x == 95) {
                EXPECT_EQ(pixel, white) << x << "," << y;
            } else if (y >= 10 || x >= 92) {
                EXPECT_EQ(pixel, black) << x << "," << y;
            } else {
                EXPECT_TRUE(pixel == yellow || pixel == black) << x << "," << y;
            }
        }
    }
    // Every cell holds a glyph that stays inside it (the last column of a digit cell is its gap).
    for (int cell = 0; cell <= 10; ++cell) {
        const int width = cell == 10 ? 12 : 8;
        int lit = 0;
        for (int y = 0; y < 10; ++y) {
            for (int x = 0; x < width; ++x) {
                lit += strip.pixel(8 * cell + x, y) == yellow ? 1 : 0;
            }
            if (cell < 10) {
                EXPECT_EQ(strip.pixel(8 * cell + 7, y), black);
            }
        }
        EXPECT_GT(lit, 10) << "cell " << cell;
    }
}

TEST(BitmapTest, BackgroundIsA256ColourPictureOfTheRightSize) {
    uitest::TestApplication();
    const QImage picture = ui::CreateBackgroundPicture();
    EXPECT_EQ(picture.size(), QSize(526, 394));
    EXPECT_EQ(picture.format(), QImage::Format_Indexed8);
    EXPECT_LE(picture.colorCount(), 256);
    EXPECT_FALSE(ui::LoadAppIcon().isNull());
}

}  // namespace
