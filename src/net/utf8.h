// Text as UTF-8: what is well formed, how other bytes are read or sent, and
// where text may be cut without splitting a character.
#ifndef QV_NET_UTF8_H
#define QV_NET_UTF8_H

#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

// The length (2 to 4) of the well-formed character at the front of `s`,
// whose first byte is above 0x7F; 0 when the bytes there are no such
// character (overlong, a surrogate, above U+10FFFF, or cut short).
std::size_t CharLength(std::string_view s);

// How many bytes at the front of `s` are well-formed UTF-8: all of them,
// or up to the first byte that is part of no well-formed character.
std::size_t ValidPrefix(std::string_view s);
inline bool IsValid(std::string_view s) { return ValidPrefix(s) == s.size(); }

// Appends `s` with every byte that is part of no well-formed character read
// as Windows-1252, so the result is always well-formed.
void AppendFrom1252(std::string& out, std::string_view s);

// Appends `s` with every such byte as '?'.
void AppendReplacingInvalid(std::string& out, std::string_view s);

// Where to cut `s` at or before `limit` (< s.size()) so that no character
// is split: before the lead byte of a well-formed character that would
// cross `limit`, else at `limit`. When `more` bytes may yet follow `s` and
// they decide it (a character begun before the cut that `s` ends inside),
// gives npos: ask again with more bytes.
std::size_t CutAt(std::string_view s, std::size_t limit, bool more = false);

// Text from outside (a server's words, a certificate's name) made fit for
// one console line or reason: control characters out (C1 too), and the
// separators and bidirectional controls that change how a line reads
// (U+2028-202E, U+2066-2069); a byte of no well-formed character becomes
// '?'; spaces trimmed; at most `limit` bytes, cut on a character boundary.
std::string OneLine(std::string_view text, std::size_t limit);

}  // namespace utf8

#endif
