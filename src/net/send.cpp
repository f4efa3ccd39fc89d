// Globals::SendIRCString: every line the module writes passes here.
#include "module/globals.h"
#include "net/connection.h"
#include "net/utf8.h"

#include <string>

SendResult Globals::SendIRCString(std::string_view text, LineKind kind) {
    if (!client || !client->TakesLines()) return SendResult::Dropped;
    if (!client->Accepts(kind)) return SendResult::Refused;
    // Reused from line to line: framing allocates nothing once warm.
    static std::string wire;
    wire.clear();
    // The wire is 7-bit, or UTF-8 when the script asked for it: anything
    // else would reach servers as bytes of an encoding they were never told
    // about.
    if (bUTF8)
        utf8::AppendReplacingInvalid(wire, text);
    else
        for (char c : text) wire.push_back(static_cast<unsigned char>(c) > 0x7F ? '?' : c);
    wire += "\r\n";
    client->Send(wire, kind);
    return SendResult::Queued;
}
