// The progress notice (template 108): a modeless window at the bottom right of the main view with a
// one-line label (control 100) above a framed bar and a percentage drawn in bitmap digits. Opening waits
// (bounded) until the window is exposed; from then on every event repaints frame, bar and digits
// completely into the notice's picture and shows it at once with a synchronous repaint.
#pragma once

#include <QImage>
#include <cstdint>

#include "ui/template_dialog.h"

namespace ui {

// Paints frame, bar and percentage for value onto picture, whose bottom edge is B = picture height:
//   frame: 1-pixel black outline x 9..310, y B-31..B-12, interior white;
//   bar: blue (0, 0, 255) x 10..9+3v, y B-30..B-13 for v = value as a signed 16-bit number, nothing
//        when 3v <= 0 (not clamped, clipped to the picture);
//   percentage: "%3d:" with character i XORed from the strip at (140 + 8i, B-27), 10 rows high, 8 wide
//        (12 for ':', which is the percent sign), from strip x = 8 * (c - '0'); characters outside
//        '0'..':' leave their cell alone. A null strip draws no percentage.
// Digits therefore read blue over white and white over the bar.
void PaintProgressPicture(QImage& picture, int32_t value, const QImage& strip);

class CProgressDlg final : public CTemplateDialog {
  public:
    // strip is the digit strip (may be null: frame and bar are still painted).
    CProgressDlg(const QImage& strip, IDialogHost* host, QWidget* parent);

    // Creates the window: places it through the host at the bottom right, shows it, waits up to half a
    // second for the window system to expose it (no user input is handled) and paints it.
    void OpenNotice();
    // Sets the label when text is not null and paints the picture for value. False when no picture
    // could be made.
    bool ShowProgress(int32_t value, const char* text);

    // The notice's current client picture (what paintEvent draws under the label).
    const QImage& Picture() const { return m_picture; }
    // The label text.
    QString LabelText() const { return GetControlText(res::IDC_TEXT); }

    // The notice has no buttons: Esc and the window manager's close do nothing.
    void reject() override {}

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QImage m_strip;
    QImage m_picture;
};

}  // namespace ui
