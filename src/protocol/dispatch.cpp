#include "protocol/dispatch.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "module/console.h"
#include "module/globals.h"
#include "module/version.h"
#include "net/ascii.h"
#include "net/connection.h"
#include "net/frame.h"
#include "platform/trace.h"
#include "protocol/events.h"
#include "protocol/caps.h"
#include "protocol/room_lines.h"
#include "protocol/tags.h"
#include "protocol/tokenize.h"

namespace {

void AnswerQuery(std::string_view nick, std::string_view query) {
    const bool version = query == "\x01VERSION\x01";
    const bool time = query == "\x01TIME\x01";
    if (!version && !time) return;
    // A nick holding a line break is no nick a server gives; answering a
    // cut one would notice someone else. A line with no sender's nick has
    // no one to answer: the reply would be a NOTICE without a target.
    if (nick.empty() || FirstLine(nick).size() != nick.size()) return;
    std::string reply = "NOTICE ";
    reply += nick;
    if (version) {
        reply += " :\x01VERSION quorvane, Version ";
        reply += std::to_string(kVersionMajor) + '.' + std::to_string(kVersionMinor) + ", Build ";
        reply += std::to_string(kBuildNumber);
        reply += ", [Windows]\x01";
    } else {
        reply += " :\x01TIME to get a watch...\x01";
    }
    // Paced like any line, and refused when enough wait: a flood of
    // queries must not get the client thrown off the server.
    Globals::SendIRCString(reply, LineKind::Reply);
}

// The text of a server's ERROR line (with or without a prefix): empty when
// it gives none; nothing for any other line.
std::optional<std::string_view> ServerErrorText(const Message& m) {
    if (m.command != "ERROR") return std::nullopt;
    return m.size == 0 ? std::string_view{} : m.trailing;
}

// The events of a line of three tokens or more, by its command. `caps`:
// what the link has enabled; a tag says nothing without its capability.
void RaiseCommandEvents(const Tokens& tokens, const MessageTags& tags, CapBits caps) {
    const std::string_view command = tokens[1];
    const bool privmsg = command == "PRIVMSG", notice = command == "NOTICE";
    const std::string_view nick = tokens.message.Nick(), trailing = tokens.message.trailing;
    // Who said it and when: unescaped for the chat events only, into
    // buffers reused from line to line; only while the capability that
    // gives the tag is enabled, as a server means the tag only then.
    static std::string account_text, time_text;
    std::optional<std::string_view> account, time;
    if (privmsg || notice) {
        if (caps & kCapAccountTag) account = TagText(tags.account, account_text);
        if (caps & kCapServerTime) time = TagText(tags.time, time_text);
    }
    if (privmsg) ThrowOnChatEvent(nick, tokens[2], trailing, account, time);
    if (notice) {
        if (ascii::SameFolded(nick, "NickServ")) ThrowNickServEvent(tokens[0], tokens[2], trailing);
        ThrowNoticeEvent(nick, tokens[2], trailing, account, time);
    }
    if (command == "376") ThrowGenericEvent("IRC_EndOfMOTD");
    if (command == "432") ThrowGenericEvent("IRC_ErroneusNick");
    if (command == "433") ThrowGenericEvent("IRC_NickInUse");
}

}  // namespace

void ProcessLine(std::string_view received, bool nul_after) {
    const NulAt known(nul_after ? received.data() + received.size() : nullptr);
    platform::DebuggerTrace("[PROCESS LINE CALL] ", received);
    // Tags come off first: all below reads the line a server that sent
    // none would have sent.
    MessageTags tags;
    const std::string_view strLine = SplitTags(received, tags);

    const Tokens tokens = MySplit(strLine, " ");

    if (strLine.starts_with("PING")) {
        // The reply takes the text from the sixth character, skipping the
        // space; a bare "PING" has none, so the PONG carries nothing. PONG
        // never waits behind paced lines: a late one costs the link.
        static std::string pong;
        pong.assign("PONG ");
        if (strLine.size() > 5) pong += FirstLine(strLine.substr(5));
        Globals::SendIRCString(pong, LineKind::Urgent);
    }

    // Even while shut: the room must be true when the module is opened
    // again.
    Connection* link = Globals::client.get();
    RoomEvent room_event;
    if (link != nullptr) RoomOnLine(link->session(), tokens.message, tags, room_event);

    // Queries are answered even while the module is shut.
    if (tokens.count > 2 && tokens[1] == "PRIVMSG") AnswerQuery(tokens.message.Nick(), tokens.message.trailing);
    // The server's own reason for ending the link, for the loss that
    // follows; noted first, as the negotiation may start a session afresh.
    if (const auto text = ServerErrorText(tokens.message); text && link != nullptr) link->NoteServerError(*text);
    // The negotiation (a login among it) goes on while the module is shut,
    // like the replies.
    if (link != nullptr) NegotiationOnLine(*link, tokens);
    // Read now: a handler of the events below may replace the link.
    const CapBits enabled = link != nullptr ? link->session().caps.enabled : 0;

    if (gLua == nullptr) return;
    if (Globals::bDebug) {
        static std::string echo;
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, tokens.count).ptr;
        echo.assign("[Vorsk] Arglen = ").append(digits, end).append("\nLINE: ").append(received);
        ConsoleEcho(echo);
    }

    RaiseEvent("IRC_RawData", {strLine, tags.text});
    if (tokens.count > 2) RaiseCommandEvents(tokens, tags, enabled);
    if (room_event.name != nullptr) RaiseEvent(room_event.name, std::span(room_event.args.data(), room_event.count));
}
