// The progress notice and its picture.
#include "ui/progress_dlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QPainter>
#include <QWindow>
#include <algorithm>

#include "common/clock.h"
#include "res/bitmaps.h"
#include "ui/dialog_host.h"

namespace ui {
namespace {

const QRgb WHITE = qRgb(255, 255, 255);
const QRgb BLACK = qRgb(0, 0, 0);
const QRgb BLUE = qRgb(0, 0, 255);
const QRgb DIALOG_GREY = qRgb(192, 192, 192);

constexpr uint32_t NOTICE_EXPOSE_WAIT_MS = 500;
constexpr uint32_t EXPOSE_POLL_MS = 2;

// Fills the rectangle from (left, top) to (right, bottom), both exclusive on the far side, clipped to the
// picture.
void FillRect(QImage& picture, int left, int top, int right, int bottom, QRgb colour) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, picture.width());
    bottom = std::min(bottom, picture.height());
    for (int y = top; y < bottom; ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = left; x < right; ++x) {
            line[x] = colour;
        }
    }
}

// destination ^= source over width x height, clipped to both images. Only colour bits take part, so the
// picture stays opaque.
void XorBlock(QImage& picture, int dx, int dy, const QImage& strip, int sx, int sy, int width, int height) {
    for (int row = 0; row < height; ++row) {
        const int py = dy + row;
        const int syRow = sy + row;
        if (py < 0 || py >= picture.height() || syRow < 0 || syRow >= strip.height()) {
            continue;
        }
        auto* target = reinterpret_cast<QRgb*>(picture.scanLine(py));
        const auto* source = reinterpret_cast<const QRgb*>(strip.constScanLine(syRow));
        for (int col = 0; col < width; ++col) {
            const int px = dx + col;
            const int sxCol = sx + col;
            if (px < 0 || px >= picture.width() || sxCol < 0 || sxCol >= strip.width()) {
                continue;
            }
            target[px] = ((target[px] ^ source[sxCol]) & 0x00FFFFFFu) | 0xFF000000u;
        }
    }
}

}  // namespace

void PaintProgressPicture(QImage& picture, int32_t value, const QImage& strip) {
    const int b = picture.height();
    // Frame: outline, then the white interior, repainted whole so the previous digits vanish.
    FillRect(picture, 9, b - 31, 311, b - 11, BLACK);
    FillRect(picture, 10, b - 30, 310, b - 12, WHITE);

    const int v = static_cast<int16_t>(value);
    const int barRight = 10 + 3 * v;
    if (barRight > 10) {
        FillRect(picture, 10, b - 30, barRight, b - 12, BLUE);
    }

    if (strip.isNull()) {
        return;
    }
    res::PercentageGlyph glyphs[4];
    const int count = res::PercentageGlyphs(v, glyphs);
    for (int i = 0; i < count; ++i) {
        const res::PercentageGlyph& glyph = glyphs[i];
        XorBlock(picture, glyph.x, b - glyph.yFromBottom, strip, glyph.stripX, 0, glyph.width,
                 res::DIGIT_GLYPH_HEIGHT);
    }
}

CProgressDlg::CProgressDlg(const QImage& strip, IDialogHost* host, QWidget* parent)
    : CTemplateDialog(res::IDD_PROGRESS, host, parent), m_strip(strip) {
    setModal(false);
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    m_picture = QImage(size(), QImage::Format_RGB32);
    if (!m_picture.isNull()) {
        m_picture.fill(DIALOG_GREY);
    }
    if (auto* label = qobject_cast<QLabel*>(GetControl(res::IDC_TEXT))) {
        // The label stands on the notice's own picture.
        label->setAutoFillBackground(false);
    }
}

void CProgressDlg::OpenNotice() {
    if (Host() != nullptr) {
        CPlacedWidget placed(*this);
        Host()->PlaceNotice(placed);
    }
    show();
    // A synchronous repaint of a window the window system has not exposed yet is dropped, and under a
    // window manager the first expose comes only after a round trip (map request, reparenting, map).
    // Wait for it, handling only events that are not user input, for a bounded time on the program clock.
    const Deadline deadline(NOTICE_EXPOSE_WAIT_MS);
    const QWindow* handle = windowHandle();
    while (handle != nullptr && !handle->isExposed() && !deadline.Expired() && !WaitsCut()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (!handle->isExposed()) {
            DelayMs(EXPOSE_POLL_MS);
        }
    }
    repaint();
}

bool CProgressDlg::ShowProgress(int32_t value, const char* text) {
    if (text != nullptr) {
        SetControlText(res::IDC_TEXT, QString::fromLatin1(text));
        if (QWidget* label = GetControl(res::IDC_TEXT)) {
            label->repaint();
        }
    }
    if (m_picture.isNull()) {
        return false;
    }
    PaintProgressPicture(m_picture, value, m_strip);
    repaint();
    return true;
}

void CProgressDlg::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(0, 0, m_picture);
}

void CProgressDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
}

}  // namespace ui
