// UTF-8 to UTF-16 and back for the wide-character Windows calls.
#include "platform/win32_path.h"

#include <windows.h>

namespace platform {

std::wstring WideFromUtf8(const std::string& text) {
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), needed);
    return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, narrow.data(), needed, nullptr,
                        nullptr);
    return narrow;
}

}  // namespace platform
