#include "protocol/dispatch.h"

#include <string>

#include "module/globals.h"
#include "module/version.h"
#include "platform/trace.h"
#include "protocol/events.h"
#include "protocol/tokenize.h"

namespace {

bool EqualsNickServ(std::string_view nick) {
    constexpr std::string_view kNickServ = "nickserv";
    if (nick.size() != kNickServ.size()) return false;
    for (std::size_t i = 0; i < nick.size(); ++i) {
        char c = nick[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kNickServ[i]) return false;
    }
    return true;
}

void AnswerQuery(std::string_view nick, std::string_view query) {
    if (query == "\x01VERSION\x01") {
        std::string reply = "NOTICE ";
        reply += nick;
        reply += " :\x01VERSION quorvane, Version 1.2, Build ";
        reply += std::to_string(kBuildNumber);
        reply += ", [Windows]\x01";
        Globals::SendIRCString(reply);
    }
    if (query == "\x01TIME\x01") {
        std::string reply = "NOTICE ";
        reply += nick;
        reply += " :\x01TIME to get a watch...\x01";
        Globals::SendIRCString(reply);
    }
}

}  // namespace

void DebugMessage(std::string_view str) {
    if (gLua == nullptr) return;
    std::string text(str);
    text += '\n';
    // As data, never as the format: server text may hold '%'.
    gLua->PrintFormatted("%s", text.c_str());
}

void ProcessLine(std::string_view strLine) {
    platform::DebuggerTrace("[PROCESS LINE CALL] ", strLine);

    const auto tokens = MySplit(strLine, " ");
    const std::size_t count = tokens.size();

    if (strLine.starts_with("PING")) {
        // The reply takes the text from the sixth character, skipping the
        // space; a bare "PING" has none, so the PONG carries nothing.
        std::string pong = "PONG ";
        if (strLine.size() > 5) pong += strLine.substr(5);
        Globals::SendIRCString(pong);
    }

    const bool privmsg = count > 2 && tokens[1] == "PRIVMSG";
    const bool notice = count > 2 && tokens[1] == "NOTICE";
    std::string_view nick, trailing;
    if (privmsg || notice) {
        nick = GetPRIVMSG(strLine, kNick);
        trailing = GetPRIVMSG(strLine, kTrailing);
    }
    // Queries are answered even while the module is shut.
    if (privmsg) AnswerQuery(nick, trailing);

    if (gLua == nullptr) return;

    if (Globals::bDebug) {
        std::string echo = "[Vorsk] Arglen = ";
        echo += std::to_string(count);
        echo += "\nLINE: ";
        echo += strLine;
        DebugMessage(echo);
    }

    RaiseEvent("IRC_RawData", {strLine});
    if (count <= 2) return;

    const std::string_view command = tokens[1];
    if (privmsg) ThrowOnChatEvent(nick, tokens[2], trailing);
    if (notice) {
        if (EqualsNickServ(nick)) ThrowNickServEvent(tokens[0], tokens[2], trailing);
        ThrowNoticeEvent(nick, tokens[2], trailing);
    }
    if (command == "376") ThrowGenericEvent("IRC_EndOfMOTD");
    if (command == "432") ThrowGenericEvent("IRC_ErroneusNick");
    if (command == "433") ThrowGenericEvent("IRC_NickInUse");
}
