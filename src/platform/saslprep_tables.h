// SASLprep's steps over RFC 3454's tables, for a system whose own library
// gives only the normalization (Windows); alike on every system, so the
// POSIX tests hold the tables and the steps to libidn's.
#ifndef QV_PLATFORM_SASLPREP_TABLES_H
#define QV_PLATFORM_SASLPREP_TABLES_H

#include <string_view>
#include <vector>

#include "platform/secret.h"

namespace platform {

// Code points of a password: cleared when freed.
using CodePoints = std::vector<char32_t, WipingAllocator<char32_t>>;

// False for bytes that are not well-formed UTF-8 (shortest forms, no
// surrogates, nothing above U+10FFFF).
bool DecodeUtf8(std::string_view text, CodePoints& out);
void AppendUtf8(const CodePoints& code_points, Secret& out);

// The tables (saslprep_tables.inc).
bool MappedToNothing(char32_t c);  // B.1
bool NonAsciiSpace(char32_t c);    // C.1.2
bool Prohibited(char32_t c);       // C.1.2, C.2.1, C.2.2, C.3 to C.9
bool RandAL(char32_t c);           // D.1
bool LeftToRight(char32_t c);      // D.2

// The system's NFKC of `in` into `out`; false when it could not.
using Normalizer = bool (*)(const CodePoints& in, CodePoints& out);

// SaslPrep (saslprep.h) with the tables and `normalize`.
std::string_view SaslPrepWith(Normalizer normalize, std::string_view password, Secret& prepared);

}  // namespace platform

#endif
