// The background picture, drawn with GDI: the gradient's colours are the Qt picture's.
#include "ui_win32/win32_background.h"

#include "res/bitmaps.h"

namespace ui_win32 {
namespace {

constexpr int GRADIENT_STEPS = 160;

COLORREF GradientColour(int step) {
    return RGB(8 + step * 16 / GRADIENT_STEPS, 24 + step * 96 / GRADIENT_STEPS,
               72 + step * 64 / GRADIENT_STEPS);
}

void DrawShape(HDC dc, COLORREF fill, int penWidth, void (*draw)(HDC, int, int, int, int), int left, int top,
               int right, int bottom) {
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = penWidth > 0 ? CreatePen(PS_SOLID, penWidth, RGB(16, 16, 20)) : nullptr;
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen != nullptr ? static_cast<HGDIOBJ>(pen) : GetStockObject(NULL_PEN));
    draw(dc, left, top, right, bottom);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    if (pen != nullptr) {
        DeleteObject(pen);
    }
    DeleteObject(brush);
}

void RoundBox(HDC dc, int l, int t, int r, int b) {
    RoundRect(dc, l, t, r, b, 14, 14);
}
void Oval(HDC dc, int l, int t, int r, int b) {
    Ellipse(dc, l, t, r, b);
}
void Box(HDC dc, int l, int t, int r, int b) {
    Rectangle(dc, l, t, r, b);
}

void DrawText(HDC dc, const wchar_t* text, int pixels, bool bold, COLORREF colour, int top, int height) {
    HFONT font =
        CreateFontW(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                    OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, FF_SWISS, L"Arial");
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    RECT line{0, top, res::BACKGROUND_WIDTH, top + height};
    ::DrawTextW(dc, text, -1, &line, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
    DeleteObject(font);
}

}  // namespace

HBITMAP CreateBackgroundPicture() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = res::BACKGROUND_WIDTH;
    info.bmiHeader.biHeight = -res::BACKGROUND_HEIGHT;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    if (picture == nullptr || dc == nullptr) {
        if (picture != nullptr) {
            DeleteObject(picture);
        }
        if (dc != nullptr) {
            DeleteDC(dc);
        }
        return nullptr;
    }
    HGDIOBJ old = SelectObject(dc, picture);
    for (int y = 0; y < res::BACKGROUND_HEIGHT; ++y) {
        HBRUSH row =
            CreateSolidBrush(GradientColour(y * (GRADIENT_STEPS - 1) / (res::BACKGROUND_HEIGHT - 1)));
        const RECT line{0, y, res::BACKGROUND_WIDTH, y + 1};
        FillRect(dc, &line, row);
        DeleteObject(row);
    }
    // The camera: viewfinder hump, shutter button, body, lens barrel, ring and glass, flash window.
    const int left = 153, top = 92, right = 373, bottom = 232;
    DrawShape(dc, RGB(70, 74, 80), 3, RoundBox, left + 40, top - 22, left + 110, top + 8);
    DrawShape(dc, RGB(70, 74, 80), 3, RoundBox, right - 70, top - 12, right - 34, top + 4);
    DrawShape(dc, RGB(110, 114, 120), 3, RoundBox, left, top, right, bottom);
    const int cx = (left + right) / 2, cy = (top + bottom) / 2 + 6;
    DrawShape(dc, RGB(40, 42, 46), 3, Oval, cx - 62, cy - 62, cx + 62, cy + 62);
    DrawShape(dc, RGB(100, 104, 110), 3, Oval, cx - 48, cy - 48, cx + 48, cy + 48);
    DrawShape(dc, RGB(20, 90, 160), 3, Oval, cx - 38, cy - 38, cx + 38, cy + 38);
    DrawShape(dc, RGB(255, 255, 255), 0, Oval, cx - 21, cy - 21, cx - 7, cy - 7);
    DrawShape(dc, RGB(230, 230, 230), 2, Box, right - 64, top + 16, right - 24, top + 36);
    DrawText(dc, L"Corva QX410 Zoom", 30, true, RGB(255, 255, 255), 262, 40);
    DrawText(dc, L"Digital Camera Firmware Update", 16, false, RGB(200, 220, 230), 304, 24);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(200, 220, 230));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    MoveToEx(dc, 163, 334, nullptr);
    LineTo(dc, 364, 334);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    SelectObject(dc, old);
    DeleteDC(dc);
    return picture;
}

}  // namespace ui_win32
