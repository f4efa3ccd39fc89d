#include "net/utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace utf8 {
namespace {

using Byte = unsigned char;

// The range the second byte of a sequence led by `lead` must fall in; the
// narrower ranges after E0, ED, F0 and F4 are what keeps out overlong
// forms, surrogates and code points above U+10FFFF.
struct Lead {
    std::size_t length;  // 0: not a lead byte
    Byte low, high;      // the second byte's range
};

Lead LeadOf(Byte b) {
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

bool IsContinuation(Byte b) { return (b & 0xC0) == 0x80; }

// How many bytes of `s`, from its front, are a well-formed beginning of the
// character led by s[0] (at most its length).
std::size_t WellFormedPrefix(std::string_view s, const Lead& lead) {
    std::size_t n = 1;
    for (; n < lead.length && n < s.size(); ++n) {
        const auto b = static_cast<Byte>(s[n]);
        const bool ok = n == 1 ? b >= lead.low && b <= lead.high : IsContinuation(b);
        if (!ok) break;
    }
    return n;
}

// Windows-1252's 0x80 to 0x9F. The five bytes it leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) become U+FFFD, the mark of a byte that names no
// character, rather than the C1 control of the same number: a control is
// invisible where scripts relay text, and terminals take 0x90 and 0x9D as
// the start of a control string, which the debug echo would hand them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

void AppendCodePoint(std::string& out, char16_t cp) {
    if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
}

// Copies `s` to `out`, passing ASCII and well-formed characters (in runs,
// as found by ValidPrefix) and handing every other byte to `other`.
template <class Other>
void Transcode(std::string& out, std::string_view s, Other other) {
    out.reserve(out.size() + s.size() + s.size() / 2);
    for (;;) {
        const std::size_t run = ValidPrefix(s);
        out.append(s.substr(0, run));
        if (run == s.size()) return;
        other(out, static_cast<Byte>(s[run]));
        s.remove_prefix(run + 1);
    }
}

}  // namespace

std::size_t CharLength(std::string_view s) {
    const Lead lead = LeadOf(static_cast<Byte>(s[0]));
    if (lead.length == 0 || s.size() < lead.length) return 0;
    return WellFormedPrefix(s, lead) == lead.length ? lead.length : 0;
}

std::size_t ValidPrefix(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        // Runs of ASCII a word at a time: most of a line is ASCII.
        std::uint64_t w;
        if (i + 8 <= s.size() && (std::memcpy(&w, s.data() + i, 8), (w & 0x8080808080808080ULL) == 0)) {
            i += 8;
        } else if (static_cast<Byte>(s[i]) < 0x80) {
            ++i;
        } else {
            const std::size_t n = CharLength(s.substr(i));
            if (n == 0) return i;
            i += n;
        }
    }
    return i;
}

void AppendFrom1252(std::string& out, std::string_view s) {
    Transcode(out, s, [](std::string& o, Byte b) {
        AppendCodePoint(o, b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
    });
}

void AppendReplacingInvalid(std::string& out, std::string_view s) {
    Transcode(out, s, [](std::string& o, Byte) { o.push_back('?'); });
}

namespace {

// Characters that are invisible and change how the text around them is
// shown: line and paragraph separators, which a console may break at, and
// the bidirectional embeddings, overrides and isolates, which can make a
// line read other than it is.
bool Unshown(std::string_view c) {
    if (c.size() != 3 || static_cast<Byte>(c[0]) != 0xE2) return false;
    const unsigned cp = (static_cast<Byte>(c[1]) & 0x3Fu) << 6 | (static_cast<Byte>(c[2]) & 0x3Fu);
    return (cp >= 0x028 && cp <= 0x02E) || (cp >= 0x066 && cp <= 0x069);  // U+2028-202E, U+2066-2069
}

}  // namespace

std::string OneLine(std::string_view text, std::size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit + 4));
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<Byte>(text[i]);
        if (c < 0x80) {
            if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t n = CharLength(text.substr(i));
        if (n == 0) {
            out += '?';  // a byte of no character: shown, not passed on
            ++i;
            continue;
        }
        const std::string_view ch = text.substr(i, n);
        // The C1 controls, U+0080 to U+009F, are controls too (a terminal
        // takes U+009B as the start of an escape).
        const bool c1 = c == 0xC2 && static_cast<Byte>(ch[1]) <= 0x9F;
        if (!c1 && !Unshown(ch)) out.append(ch);
        i += n;
    }
    out.erase(0, std::min(out.size(), out.find_first_not_of(' ')));
    if (out.size() > limit) out.resize(CutAt(out, limit));
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

std::size_t CutAt(std::string_view s, std::size_t limit, bool more) {
    // A character is at most 4 bytes: only a lead in the last 3 before the
    // cut can cross it.
    for (std::size_t back = 1; back <= 3 && back <= limit; ++back) {
        const std::size_t at = limit - back;
        const auto b = static_cast<Byte>(s[at]);
        if (IsContinuation(b)) continue;
        const Lead lead = LeadOf(b);
        if (lead.length <= back) return limit;  // it ends at or before the cut
        const std::size_t known = std::min(s.size() - at, lead.length);
        if (WellFormedPrefix(s.substr(at), lead) != known) return limit;
        if (known == lead.length) return at;
        return more ? std::string_view::npos : limit;
    }
    return limit;
}

}  // namespace utf8
