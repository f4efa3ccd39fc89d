// Names compared as the server compares them: its CASEMAPPING says which
// bytes are one letter in two cases. Under rfc1459 "[\]^" are the capitals
// of "{|}~" (strict-rfc1459 leaves "^" and "~" apart), so "[bot]" and
// "{bot}" are one nick.
#ifndef QV_ROOM_CASEMAP_H
#define QV_ROOM_CASEMAP_H

#include <string>
#include <string_view>

enum class CaseMapping { Ascii, Rfc1459, StrictRfc1459 };

// A CASEMAPPING value; one we do not know is read as rfc1459, the
// protocol's own.
CaseMapping CaseMappingNamed(std::string_view value);

// To the lower case: each capital is its small letter less 0x20.
constexpr char Fold(CaseMapping mapping, char c) {
    const char last = mapping == CaseMapping::Ascii ? 'Z' : mapping == CaseMapping::Rfc1459 ? '^' : ']';
    return c >= 'A' && c <= last ? static_cast<char>(c + 0x20) : c;
}

std::string Folded(CaseMapping mapping, std::string_view text);

#endif
