// Text for Windows' wide calls: scripts and servers give UTF-8, the system
// takes UTF-16.
#ifndef QV_PLATFORM_WIDE_WIN32_H
#define QV_PLATFORM_WIDE_WIN32_H

#include <windows.h>

#include <string>
#include <string_view>

namespace platform {

// `text` from UTF-8 (an IDN stays whole); false for bytes that are not
// UTF-8, which no name on the system can match.
inline bool Wide(std::string_view text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0) return false;
    wide.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n) == n;
}

}  // namespace platform

#endif
