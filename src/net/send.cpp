// Framing and queuing one line: every line the module writes passes here.
#include "net/frame.h"

#include <string>

#include "net/connection.h"
#include "net/utf8.h"

void FrameLine(std::string& wire, std::string_view text, bool utf8) {
    wire.reserve(wire.size() + text.size() + text.size() / 2 + 2);
    if (utf8)
        utf8::AppendReplacingInvalid(wire, text);
    else
        for (char c : text) wire.push_back(static_cast<unsigned char>(c) > 0x7F ? '?' : c);
    wire += "\r\n";
}

SendResult SendLine(Connection* link, std::string_view text, LineKind kind, bool utf8) {
    if (link == nullptr || !link->TakesLines()) return SendResult::Dropped;
    if (!link->Accepts(kind)) return SendResult::Refused;
    // Reused from line to line: framing allocates nothing once warm. A
    // script may send a password in a line of its own (NickServ IDENTIFY),
    // so the bytes are cleared once the queue has its copy.
    static std::string wire;
    FrameLine(wire, text, utf8);
    link->Send(wire, kind);
    platform::Wipe(wire.data(), wire.size());
    wire.clear();
    return SendResult::Queued;
}
