// A server's own words quoted in a reason or a console line: the text of
// its ERROR, a refusal, a value it sent that cannot be followed.
#ifndef QV_NET_SERVER_TEXT_H
#define QV_NET_SERVER_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

#include "net/utf8.h"

// The most of them a reason or a console line carries.
inline constexpr std::size_t kMaxServerText = 400;

// One clean line of them (utf8::OneLine), at most kMaxServerText bytes.
inline std::string ServerText(std::string_view words) { return utf8::OneLine(words, kMaxServerText); }

#endif
