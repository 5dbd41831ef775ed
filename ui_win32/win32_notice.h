// The progress notice on Win32 (template 108): a modeless window at the bottom right of the main view
// with its one-line label (control 100) above a framed bar and a percentage in bitmap digits. The
// picture is kept in a memory device context: every event repaints frame and bar with brushes and
// XORs the digits in from the digit strip (BitBlt SRCINVERT), then copies the picture to the window
// (BitBlt SRCCOPY) before returning.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

class CUpdateController;

namespace ui_win32 {

// A 32-bit top-down DIB section selected into its own memory device context: the pixels are readable
// as 0x00RRGGBB without any display.
class CMemoryPicture {
  public:
    CMemoryPicture(int width, int height);
    ~CMemoryPicture();
    CMemoryPicture(const CMemoryPicture&) = delete;
    CMemoryPicture& operator=(const CMemoryPicture&) = delete;

    bool IsValid() const { return m_dc != nullptr && m_pixels != nullptr; }
    HDC Dc() const { return m_dc; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // Completes the GDI drawing still batched for the picture, so that At reads it.
    void Flush() const { GdiFlush(); }
    // The pixel at (x, y) as 0xRRGGBB, as the last Flush left it.
    uint32_t At(int x, int y) const;
    void Set(int x, int y, uint32_t rgb);
    void Fill(uint32_t rgb);

  private:
    int m_width;
    int m_height;
    HDC m_dc = nullptr;
    HBITMAP m_bitmap = nullptr;
    HGDIOBJ m_oldBitmap = nullptr;
    uint32_t* m_pixels = nullptr;
};

// The digit strip (bitmap 135) from its XPM source; invalid when the source cannot be read.
class CDigitStrip {
  public:
    CDigitStrip();
    bool IsValid() const { return m_picture.IsValid() && m_loaded; }
    HDC Dc() const { return IsValid() ? m_picture.Dc() : nullptr; }

  private:
    CMemoryPicture m_picture;
    bool m_loaded = false;
};

// Paints frame, bar and percentage for value into picture (a memory DC whose picture is height pixels
// high, bottom edge B = height):
//   frame: black brush over x 9..310, y B-31..B-12, white brush inside;
//   bar: blue (0, 0, 255) brush over x 10..9+3v, y B-30..B-13 for v = value as a signed 16-bit number,
//        nothing when 3v <= 0 (not clamped; GDI clips to the picture);
//   percentage: "%3d:" with character i XORed from the strip at (140 + 8i, B-27), 10 rows high, 8 wide
//        (12 for ':', the percent sign), from strip x = 8 * (c - '0'); other characters leave their
//        cell alone. A null strip draws no percentage.
// False when the brushes could not be made.
bool PaintNoticePicture(HDC picture, int height, int32_t value, HDC strip);

class CWin32Notice {
  public:
    // Creates the hidden window from template 108, owned by owner (may be null). IsValid tells.
    CWin32Notice(HWND owner, HDC strip);
    ~CWin32Notice();
    CWin32Notice(const CWin32Notice&) = delete;
    CWin32Notice& operator=(const CWin32Notice&) = delete;

    bool IsValid() const { return m_window != nullptr && m_picture != nullptr && m_picture->IsValid(); }
    HWND Window() const { return m_window; }
    const CMemoryPicture* Picture() const { return m_picture.get(); }
    // Places the window through the controller (may be null), shows it without taking the focus and
    // paints it.
    void Open(CUpdateController* controller);
    // Sets the label when text is not null and paints the picture for value, on screen before it
    // returns. False when no picture could be painted.
    bool ShowProgress(int32_t value, const char* text);

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void CopyToWindow(HDC target) const;

    HWND m_window = nullptr;
    HDC m_strip;
    std::unique_ptr<CMemoryPicture> m_picture;
    HBRUSH m_greyBrush = nullptr;
};

}  // namespace ui_win32
