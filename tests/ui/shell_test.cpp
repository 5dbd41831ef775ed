// The application shell and its bitmaps: title and window flags, the status line, the centred and
// clipped background picture, the start timer armed by the first paint only and run once, the frame
// closing when the update returns, and the digit strip's cells.
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

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override { uitest::TestApplication(); }
    uitest::NoDevices m_devices;
};

TEST_F(ShellTest, TitleFlagsStatusLineAndDesktopSize) {
    CMainFrame frame(m_devices);
    EXPECT_EQ(frame.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_FALSE(frame.windowFlags() &
                 (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint));
    EXPECT_EQ(frame.geometry(), QGuiApplication::primaryScreen()->availableGeometry());
    ASSERT_NE(frame.Controller(), nullptr);
    EXPECT_EQ(g_pController, frame.Controller());
    EXPECT_EQ(frame.Controller()->StatusText(), res::LoadString(res::IDS_SELECT_PORT));
    EXPECT_EQ(CAboutDlg(nullptr).windowTitle().toStdString(),
              "About Corva QX410 Zoom Digital Camera Update Software");
}

TEST_F(ShellTest, ViewDrawsThePictureCentredWithTruncatedHalvesAndClipped) {
    const std::pair<QSize, QPoint> positions[] = {
        {QSize(526, 394), QPoint(0, 0)},      {QSize(1024, 746), QPoint(249, 176)},
        {QSize(1025, 747), QPoint(249, 176)}, {QSize(400, 300), QPoint(-63, -47)},
        {QSize(1, 1), QPoint(-263, -197)},
    };
    for (const auto& [size, position] : positions) {
        EXPECT_EQ(CQx250fwView::PicturePosition(size), position) << size.width() << "x" << size.height();
    }
    CQx250fwView view(nullptr);
    const QImage picture = ui::CreateBackgroundPicture().convertToFormat(QImage::Format_RGB32);
    for (const QSize size : {QSize(800, 600), QSize(400, 300)}) {
        view.resize(size);
        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QPoint at = CQx250fwView::PicturePosition(size);
        for (const QPoint p : {QPoint(0, 0), QPoint(262, 196), QPoint(525, 393), QPoint(100, 300)}) {
            if (shown.rect().contains(at + p)) {
                EXPECT_EQ(shown.pixel(at + p), picture.pixel(p))
                    << size.width() << " " << p.x() << "," << p.y();
            }
        }
        if (at.x() > 0) {
            EXPECT_EQ(shown.pixel(at.x() - 1, at.y()) & 0xFFFFFFu, 0xFFFFFFu);  // white around it
        }
    }
}

TEST_F(ShellTest, FirstPaintArmsTheStartOnceAndTheFrameClosesWhenTheUpdateReturns) {
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

TEST_F(ShellTest, BitmapsHaveTheirSizesAndTheDigitCellsTheirGlyphs) {
    const QImage background = ui::CreateBackgroundPicture();
    EXPECT_EQ(background.size(), QSize(526, 394));
    EXPECT_EQ(background.format(), QImage::Format_Indexed8);
    EXPECT_FALSE(ui::LoadAppIcon().isNull());

    // Yellow glyphs on black in rows 0..9 of cells 8 pixels apart (the percent sign 12 wide, from x 80);
    // rows 13..15 and column 95 white; each digit cell's last column is its gap.
    const QImage strip = ui::LoadDigitStrip();
    ASSERT_EQ(strip.size(), QSize(res::DIGIT_STRIP_WIDTH, res::DIGIT_STRIP_HEIGHT));
    int lit[11] = {};
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 96; ++x) {
            const QRgb pixel = strip.pixel(x, y);
            const bool glyphArea = y < 10 && x < 92 && (x >= 80 || x % 8 != 7);
            if (y >= 13 || x == 95) {
                EXPECT_EQ(pixel, qRgb(255, 255, 255)) << x << "," << y;
            } else if (glyphArea && pixel == qRgb(255, 255, 0)) {
                ++lit[std::min(x / 8, 10)];
            } else {
                EXPECT_EQ(pixel, qRgb(0, 0, 0)) << x << "," << y;
            }
        }
    }
    for (int cell = 0; cell <= 10; ++cell) {
        EXPECT_GT(lit[cell], 10) << "cell " << cell;
    }
}

}  // namespace
