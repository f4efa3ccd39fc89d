// SASLprep by libidn's stringprep, over a buffer of code points of ours.
#include "platform/saslprep.h"

#include <stringprep.h>

#include <cstdint>

#include "platform/saslprep_tables.h"

namespace platform {

std::string_view SaslPrep(std::string_view password, Secret& prepared) {
    prepared.Clear();
    // Printable ASCII is its own SASLprep, and ASCII controls are
    // prohibited: such a password never reaches the library, whose own
    // copies (its NFKC's) are freed uncleared.
    bool ascii = true;
    for (const char c : password) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return kSaslPrepProhibited;
        ascii = ascii && byte < 0x80;
    }
    if (ascii) {
        prepared.Assign(password);
        return {};
    }
    CodePoints given;
    if (!DecodeUtf8(password, given)) return kSaslPrepNotUtf8;
    static_assert(sizeof(char32_t) == sizeof(std::uint32_t));
    // NFKC lengthens a text at most 18 times (U+FDFA), and the library
    // needs room for one more.
    CodePoints work(given);
    work.resize(18 * given.size() + 1);
    std::size_t length = given.size();
    switch (stringprep_4i(reinterpret_cast<std::uint32_t*>(work.data()), &length, work.size(),
                          static_cast<Stringprep_profile_flags>(0), stringprep_saslprep)) {
        case STRINGPREP_OK:
            work.resize(length);
            AppendUtf8(work, prepared);
            return {};
        case STRINGPREP_CONTAINS_PROHIBITED:
        case STRINGPREP_BIDI_CONTAINS_PROHIBITED: return kSaslPrepProhibited;
        case STRINGPREP_BIDI_BOTH_L_AND_RAL:
        case STRINGPREP_BIDI_LEADTRAIL_NOT_RAL: return kSaslPrepBidi;
        default: return kSaslPrepFailed;
    }
}

}  // namespace platform
