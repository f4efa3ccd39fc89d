#include "platform/saslprep_tables.h"

#include <algorithm>
#include <iterator>

#include "platform/saslprep.h"

namespace platform {
namespace {

struct CodeRange {
    char32_t first, last;
};

#include "platform/saslprep_tables.inc"

template <std::size_t N>
bool In(const CodeRange (&table)[N], char32_t c) {
    const CodeRange* after = std::upper_bound(std::begin(table), std::end(table), c,
                                              [](char32_t v, const CodeRange& r) { return v < r.first; });
    return after != std::begin(table) && c <= std::prev(after)->last;
}

}  // namespace

bool MappedToNothing(char32_t c) { return In(kMappedToNothing, c); }
bool NonAsciiSpace(char32_t c) { return In(kNonAsciiSpace, c); }
bool Prohibited(char32_t c) { return In(kProhibited, c); }
bool RandAL(char32_t c) { return In(kRandAL, c); }
bool LeftToRight(char32_t c) { return In(kLeftToRight, c); }

bool DecodeUtf8(std::string_view text, CodePoints& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t more = lead < 0x80 ? 0 : lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2
                                 : lead >= 0xF0 && lead <= 0xF4                ? 3
                                                                               : 4;
        if (more == 4 || text.size() - i <= more) return false;
        char32_t c = more == 0 ? lead : lead & (0x3F >> more);
        for (std::size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = c << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates, past U+10FFFF.
        if ((more == 2 && c < 0x800) || (more == 3 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out.push_back(c);
        i += more + 1;
    }
    return true;
}

void AppendUtf8(const CodePoints& code_points, Secret& out) {
    out.Reserve(out.Size() + 4 * code_points.size());
    for (const char32_t c : code_points) {
        char bytes[4];
        std::size_t n = 0;
        if (c < 0x80) {
            bytes[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[n++] = static_cast<char>(0xC0 | c >> 6);
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes[n++] = static_cast<char>(0xE0 | c >> 12);
            bytes[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes[n++] = static_cast<char>(0xF0 | c >> 18);
            bytes[n++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        out.Append({bytes, n});
        Wipe(bytes, sizeof bytes);
    }
}

std::string_view SaslPrepWith(Normalizer normalize, std::string_view password, Secret& prepared) {
    prepared.Clear();
    CodePoints given, mapped, normal;
    if (!DecodeUtf8(password, given)) return kSaslPrepNotUtf8;
    // RFC 4013, 2.1: non-ASCII spaces become SPACE (U+200B, in both
    // tables, too, as with libidn), B.1 goes.
    mapped.reserve(given.size());
    for (const char32_t c : given) {
        if (NonAsciiSpace(c))
            mapped.push_back(U' ');
        else if (!MappedToNothing(c))
            mapped.push_back(c);
    }
    // 2.2: NFKC; nothing to do for none.
    if (!mapped.empty() && !normalize(mapped, normal)) return kSaslPrepFailed;
    // 2.3, 2.4: prohibited output; RFC 3454's bidi rule, section 6.
    bool rand_al = false, left_to_right = false;
    for (const char32_t c : normal) {
        if (Prohibited(c)) return kSaslPrepProhibited;
        rand_al = rand_al || RandAL(c);
        left_to_right = left_to_right || LeftToRight(c);
    }
    if (rand_al && (left_to_right || !RandAL(normal.front()) || !RandAL(normal.back()))) return kSaslPrepBidi;
    AppendUtf8(normal, prepared);
    return {};
}

}  // namespace platform
