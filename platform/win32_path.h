// The program's paths are UTF-8 inside; the wide-character Windows calls get them converted here.
#pragma once

#include <string>

namespace platform {

// The UTF-16 form of a UTF-8 text; empty when the text is empty or not valid UTF-8.
std::wstring WideFromUtf8(const std::string& text);

}  // namespace platform
