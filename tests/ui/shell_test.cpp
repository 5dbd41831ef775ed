// The application shell: the centred and clipped background picture, the start timer armed by the first
// paint only and run once, and the frame closing when the update returns.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include "app/update_controller.h"
#include "res/strings.h"
#include "shell/main_frame.h"
#include "tests/ui/ui_test_support.h"
#include "ui/bitmaps.h"

namespace {

TEST(ShellTest, ViewDrawsThePictureCentredWithTruncatedHalvesAndClipped) {
    const std::pair<QSize, QPoint> positions[] = {
        {QSize(526, 394), QPoint(0, 0)},      {QSize(1024, 746), QPoint(249, 176)},
        {QSize(1025, 747), QPoint(249, 176)}, {QSize(400, 300), QPoint(-63, -47)},
        {QSize(1, 1), QPoint(-263, -197)},
    };
    for (const auto& [size, position] : positions) {
        EXPECT_EQ(CQx250fwView::PicturePosition(size), position) << size.width() << "x" << size.height();
    }
    CQx250fwView view(nullptr);  // drawn there, on white
    view.resize(800, 600);
    const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown.pixel(136, 103) & 0xFFFFFFu, 0xFFFFFFu);
    EXPECT_EQ(shown.pixel(137, 103),
              ui::CreateBackgroundPicture().convertToFormat(QImage::Format_RGB32).pixel(0, 0));
}

TEST(ShellTest, FirstPaintArmsTheStartOnceAndTheFrameClosesWhenTheUpdateReturns) {
    uitest::NoDevices devices;
    CMainFrame frame(devices);
    EXPECT_EQ(frame.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_FALSE(frame.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(frame.Controller()->StatusText(), res::LoadString(res::IDS_SELECT_PORT));
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
    for (int paint = 0; paint < 3; ++paint) {
        frame.View()->repaint();
        QTest::qWait(paint == 0 ? 100 : 0);
        EXPECT_EQ(runs, 0);  // 200 ms after the first paint, not before
    }
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

}  // namespace
