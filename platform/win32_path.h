// The program's paths are UTF-8 inside; the wide-character Windows calls get them, and give them back,
// converted here.
#pragma once

#include <string>

namespace platform {

// The UTF-16 form of a UTF-8 text; empty when the text is empty or not valid UTF-8.
std::wstring WideFromUtf8(const std::string& text);

// The UTF-8 form of a UTF-16 text (a path a Windows call returned); empty when the text is empty or
// holds an unpaired surrogate.
std::string Utf8FromWide(const std::wstring& text);

}  // namespace platform
