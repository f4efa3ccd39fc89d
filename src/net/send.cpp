// Globals::SendIRCString: every line the module writes passes here.
#include "module/globals.h"
#include "net/connection.h"

#include <string>

void Globals::SendIRCString(std::string_view text) {
    if (!client || !client->IsConnected()) return;
    std::string wire;
    wire.reserve(text.size() + 2);
    // The wire is 7-bit: anything else would reach servers as bytes of an
    // encoding they were never told about.
    for (char c : text) wire.push_back(static_cast<unsigned char>(c) > 0x7F ? '?' : c);
    wire += "\r\n";
    client->Send(wire);
}
