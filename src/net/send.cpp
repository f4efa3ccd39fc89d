// Globals::SendIRCString: every line the module writes passes here.
#include "module/globals.h"
#include "net/connection.h"
#include "net/utf8.h"

#include <string>

SendResult Globals::SendIRCString(std::string_view text, LineKind kind) {
    if (!client || !client->TakesLines()) return SendResult::Dropped;
    if (!client->Accepts(kind)) return SendResult::Refused;
    // Reused from line to line: framing allocates nothing once warm. A
    // script may send a password in a line of its own (NickServ IDENTIFY),
    // so the bytes are cleared once the queue has its copy.
    static std::string wire;
    wire.reserve(text.size() + text.size() / 2 + 2);
    // The wire is 7-bit, or UTF-8 when the script asked for it: anything
    // else would reach servers as bytes of an encoding they were never told
    // about.
    if (settings.utf8)
        utf8::AppendReplacingInvalid(wire, text);
    else
        for (char c : text) wire.push_back(static_cast<unsigned char>(c) > 0x7F ? '?' : c);
    wire += "\r\n";
    client->Send(wire, kind);
    platform::Wipe(wire.data(), wire.size());
    wire.clear();
    return SendResult::Queued;
}
