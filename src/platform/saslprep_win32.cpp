// SASLprep on Windows: the system's NFKC (NormalizeString) between the
// steps over RFC 3454's tables. The system's Unicode is newer than the
// RFC's 3.2: a character assigned since is normalized as that version says.
#include "platform/saslprep.h"

#include <windows.h>

#include <vector>

#include "platform/saslprep_tables.h"

namespace platform {
namespace {

using Utf16 = std::vector<wchar_t, WipingAllocator<wchar_t>>;

void ToUtf16(const CodePoints& in, Utf16& out) {
    out.clear();
    out.reserve(2 * in.size());
    for (const char32_t c : in) {
        if (c < 0x10000) {
            out.push_back(static_cast<wchar_t>(c));
        } else {
            out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
}

bool FromUtf16(const wchar_t* in, std::size_t size, CodePoints& out) {
    out.clear();
    out.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        const char32_t unit = static_cast<char16_t>(in[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < size && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((unit - 0xD800) << 10) + (static_cast<char16_t>(in[++i]) - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return false;
        } else {
            out.push_back(unit);
        }
    }
    return true;
}

bool NormalizeKc(const CodePoints& in, CodePoints& out) {
    Utf16 source, result;
    ToUtf16(in, source);
    const int size = static_cast<int>(source.size());
    int room = NormalizeString(NormalizationKC, source.data(), size, nullptr, 0);
    // The first answer is an estimate: a result that does not fit says
    // so, and the next try has more room.
    for (int attempt = 0; attempt < 4 && room > 0; ++attempt) {
        result.assign(static_cast<std::size_t>(room), L'\0');
        const int n = NormalizeString(NormalizationKC, source.data(), size, result.data(), room);
        if (n > 0) return FromUtf16(result.data(), static_cast<std::size_t>(n), out);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        room *= 2;
    }
    return false;
}

}  // namespace

std::string_view SaslPrep(std::string_view password, Secret& prepared) {
    return SaslPrepWith(NormalizeKc, password, prepared);
}

}  // namespace platform
