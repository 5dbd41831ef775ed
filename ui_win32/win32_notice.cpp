// The progress notice's picture and window on Win32.
#include "ui_win32/win32_notice.h"

#include <memory>
#include <vector>

#include "app/update_controller.h"
#include "res/bitmaps.h"
#include "res/dialog_templates.h"
#include "ui_win32/win32_dialog_template.h"
#include "ui_win32/win32_dialogs.h"

namespace ui_win32 {
namespace {

constexpr COLORREF WHITE = RGB(255, 255, 255);
constexpr COLORREF BLACK = RGB(0, 0, 0);
constexpr COLORREF BLUE = RGB(0, 0, 255);
constexpr uint32_t DIALOG_GREY = 0xC0C0C0;

// A solid brush for one painting, deleted at the end of it.
class CBrush {
  public:
    explicit CBrush(COLORREF colour) : m_brush(CreateSolidBrush(colour)) {}
    ~CBrush() {
        if (m_brush != nullptr) {
            DeleteObject(m_brush);
        }
    }
    CBrush(const CBrush&) = delete;
    CBrush& operator=(const CBrush&) = delete;
    HBRUSH Get() const { return m_brush; }

  private:
    HBRUSH m_brush;
};

}  // namespace

CMemoryPicture::CMemoryPicture(int width, int height) : m_width(width), m_height(height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    m_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (m_bitmap == nullptr) {
        return;
    }
    m_dc = CreateCompatibleDC(nullptr);
    if (m_dc == nullptr) {
        DeleteObject(m_bitmap);
        m_bitmap = nullptr;
        return;
    }
    m_oldBitmap = SelectObject(m_dc, m_bitmap);
    m_pixels = static_cast<uint32_t*>(bits);
}

CMemoryPicture::~CMemoryPicture() {
    if (m_dc != nullptr) {
        SelectObject(m_dc, m_oldBitmap);
        DeleteDC(m_dc);
    }
    if (m_bitmap != nullptr) {
        DeleteObject(m_bitmap);
    }
}

uint32_t CMemoryPicture::At(int x, int y) const {
    return m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width) + x] & 0x00FFFFFFu;
}

void CMemoryPicture::Set(int x, int y, uint32_t rgb) {
    GdiFlush();
    m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width) + x] = rgb & 0x00FFFFFFu;
}

void CMemoryPicture::Fill(uint32_t rgb) {
    GdiFlush();
    for (size_t i = 0; i < static_cast<size_t>(m_width) * static_cast<size_t>(m_height); ++i) {
        m_pixels[i] = rgb & 0x00FFFFFFu;
    }
}

CDigitStrip::CDigitStrip() : m_picture(res::DIGIT_STRIP_WIDTH, res::DIGIT_STRIP_HEIGHT) {
    const res::RgbImage strip = res::DecodeXpm(res::DigitStripXpm());
    if (!m_picture.IsValid() || strip.width != res::DIGIT_STRIP_WIDTH ||
        strip.height != res::DIGIT_STRIP_HEIGHT) {
        return;
    }
    for (int y = 0; y < strip.height; ++y) {
        for (int x = 0; x < strip.width; ++x) {
            m_picture.Set(x, y, strip.At(x, y));
        }
    }
    m_loaded = true;
}

bool PaintNoticePicture(HDC picture, int height, int32_t value, HDC strip) {
    const CBrush black(BLACK), white(WHITE), blue(BLUE);
    if (black.Get() == nullptr || white.Get() == nullptr || blue.Get() == nullptr) {
        return false;
    }
    const int b = height;
    // Frame: outline, then the white interior, repainted whole so the previous digits vanish.
    const RECT outline{9, b - 31, 311, b - 11};
    const RECT inside{10, b - 30, 310, b - 12};
    FillRect(picture, &outline, black.Get());
    FillRect(picture, &inside, white.Get());

    const int v = static_cast<int16_t>(value);
    const int barRight = 10 + 3 * v;
    if (barRight > 10) {
        const RECT bar{10, b - 30, barRight, b - 12};
        FillRect(picture, &bar, blue.Get());
    }

    if (strip == nullptr) {
        return true;
    }
    res::PercentageGlyph glyphs[4];
    const int count = res::PercentageGlyphs(v, glyphs);
    for (int i = 0; i < count; ++i) {
        const res::PercentageGlyph& glyph = glyphs[i];
        BitBlt(picture, glyph.x, b - glyph.yFromBottom, glyph.width, res::DIGIT_GLYPH_HEIGHT, strip,
               glyph.stripX, 0, SRCINVERT);
    }
    return true;
}

CWin32Notice::CWin32Notice(HWND owner, HDC strip) : m_strip(strip) {
    const res::DialogTemplate* dialog = res::FindDialogTemplate(res::IDD_PROGRESS);
    if (dialog == nullptr) {
        return;
    }
    m_greyBrush = CreateSolidBrush(RGB(192, 192, 192));
    const std::vector<DWORD> memory = BuildDialogTemplate(*dialog);
    m_window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                          reinterpret_cast<LPCDLGTEMPLATEW>(memory.data()), owner, DialogProc,
                                          reinterpret_cast<LPARAM>(this));
    if (m_window == nullptr) {
        return;
    }
    RECT client{};
    GetClientRect(m_window, &client);
    m_picture = std::make_unique<CMemoryPicture>(client.right, client.bottom);
    if (m_picture->IsValid()) {
        m_picture->Fill(DIALOG_GREY);
    }
}

CWin32Notice::~CWin32Notice() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
    if (m_greyBrush != nullptr) {
        DeleteObject(m_greyBrush);
    }
}

void CWin32Notice::Open(CUpdateController* controller) {
    if (m_window == nullptr) {
        return;
    }
    if (controller != nullptr) {
        CPlacedHwnd placed(m_window);
        controller->PlaceNotice(&placed);
    }
    ShowWindow(m_window, SW_SHOWNOACTIVATE);
    UpdateWindow(m_window);
}

bool CWin32Notice::ShowProgress(int32_t value, const char* text) {
    if (m_window == nullptr) {
        return false;
    }
    if (text != nullptr) {
        SetDlgItemTextW(m_window, res::IDC_TEXT, WideFromLatin1(text).c_str());
        if (HWND label = GetDlgItem(m_window, res::IDC_TEXT)) {
            RedrawWindow(label, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        }
    }
    if (!IsValid() || !PaintNoticePicture(m_picture->Dc(), m_picture->Height(), value, m_strip)) {
        return false;
    }
    // The frame's rows go to the window now; the label above them is left alone.
    if (HDC dc = GetDC(m_window)) {
        const int top = m_picture->Height() - 31;
        BitBlt(dc, 0, top, m_picture->Width(), 20, m_picture->Dc(), 0, top, SRCCOPY);
        ReleaseDC(m_window, dc);
    }
    return true;
}

void CWin32Notice::CopyToWindow(HDC target) const {
    if (m_picture != nullptr && m_picture->IsValid()) {
        BitBlt(target, 0, 0, m_picture->Width(), m_picture->Height(), m_picture->Dc(), 0, 0, SRCCOPY);
    }
}

INT_PTR CALLBACK CWin32Notice::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        return FALSE;  // the notice never takes the focus
    }
    auto* self = reinterpret_cast<CWin32Notice*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    switch (message) {
        case WM_ERASEBKGND:
            SetWindowLongPtrW(window, DWLP_MSGRESULT, 1);
            return TRUE;  // the picture covers the client area
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            HDC dc = BeginPaint(window, &paint);
            self->CopyToWindow(dc);
            EndPaint(window, &paint);
            return TRUE;
        }
        case WM_CTLCOLORSTATIC:
            SetBkColor(reinterpret_cast<HDC>(wParam), RGB(192, 192, 192));
            return reinterpret_cast<INT_PTR>(self->m_greyBrush);
        case WM_CLOSE:
        case WM_COMMAND:
            return TRUE;  // no buttons: Esc and close requests do nothing
        default:
            return FALSE;
    }
}

}  // namespace ui_win32
