// One IRC line as it goes on the wire.
#ifndef QV_NET_FRAME_H
#define QV_NET_FRAME_H

#include <string>
#include <string_view>

#include "net/line_kind.h"

class Connection;

// The text before its first CR, LF or NUL. Servers end a line at any of
// the three, so text put into one of our lines stops there: past it, chat
// text or a received line's words would start a command of their own.
inline std::string_view FirstLine(std::string_view text) {
    return text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3)));
}

// Appends `text` and CR LF to `wire`. The wire is 7-bit, or UTF-8 with
// `utf8`: anything else would reach servers as bytes of an encoding they
// were never told about, so a byte above 0x7F goes as '?' (with `utf8`,
// only one of no well-formed character).
void FrameLine(std::string& wire, std::string_view text, bool utf8);

// Frames `text` and queues it on `link` as a line of `kind`: dropped
// unless the link is connected or connecting, refused when the queue will
// not take that kind now.
SendResult SendLine(Connection* link, std::string_view text, LineKind kind, bool utf8);

#endif
