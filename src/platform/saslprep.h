// SASLprep (RFC 4013): the form of a password both sides of a SCRAM login
// hash, so that one typed differently (a no-break space, a letter and its
// accent apart) still matches. libidn's on POSIX; Windows' NormalizeString
// and the RFC's tables on Windows.
#ifndef QV_PLATFORM_SASLPREP_H
#define QV_PLATFORM_SASLPREP_H

#include <string_view>

#include "platform/secret.h"

namespace platform {

// Why a password cannot be prepared, in words that show nothing of it.
inline constexpr std::string_view kSaslPrepNotUtf8 = "the password is not UTF-8 text, which SASLprep (RFC 4013) needs";
inline constexpr std::string_view kSaslPrepProhibited =
    "the password holds a character SASLprep (RFC 4013) prohibits (a control, private-use, formatting or tag "
    "character, or a non-character)";
inline constexpr std::string_view kSaslPrepBidi =
    "the password's right-to-left text breaks SASLprep's rule (RFC 4013): no left-to-right letters with it, and a "
    "right-to-left character first and last";
inline constexpr std::string_view kSaslPrepFailed = "the system could not prepare the password (SASLprep)";

// `password` (UTF-8) prepared as a query: unassigned code points pass, as
// RFC 5802 asks of a client. Empty when `prepared` holds it; else why not
// (one of the texts above), and `prepared` is empty.
std::string_view SaslPrep(std::string_view password, Secret& prepared);

}  // namespace platform

#endif
