// SCRAM-SHA-256 (RFC 5802, RFC 7677), our side: the messages we build,
// the server's we read, and the proofs both sides give. The password never
// leaves us, and the server must show that it knows it too before the
// login counts. No channel binding ("n,,"): TLS is left to the link.
// The AUTHENTICATE exchange that carries these is protocol/sasl.cpp.
#ifndef QV_PROTOCOL_SCRAM_H
#define QV_PROTOCOL_SCRAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/secret.h"

// The most PBKDF2 rounds a server may ask of us. They are spent on the
// host's thread in one go, when its first message comes: this many take
// about 0.15 s of CPU on the benchmark's machine (scripts/bench scram). A
// server that asks for more is refused rather than let freeze the host.
constexpr std::uint32_t kScramMaxIterations = 250000;

// The fewest a server may ask for (RFC 7677's floor; services ask for more).
// Our proof is a hash of the password salted and stretched this many times:
// fewer would let whoever plays the server guess the password from it
// cheaply, offline.
constexpr std::uint32_t kScramMinIterations = 4096;

// The most base64 a server message of the exchange may take, in all its
// pieces; a salt and a nonce fill a few dozen bytes.
constexpr std::size_t kScramMaxMessage = 4096;

constexpr std::string_view kScramMalformed = "malformed SCRAM message from the server";

// Makes our nonce for one login: base64 of bytes from the system's
// generator, or empty when it gave none. Tests put a fixed one here.
extern std::string (*scram_nonce)();

// Why SASLprep, which both sides apply to the password, refuses it; empty
// when it takes it. Asked before anything is sent.
std::string_view ScramPasswordRefused(std::string_view password);

// Our first message: "n,," then `first_bare`, "n=<account>,r=<nonce>",
// which both sides sign later. The account is escaped ("=2C", "=3D").
void ScramFirst(std::string_view account, std::string_view nonce, platform::Secret& message,
                platform::Secret& first_bare);

// What we make of the server's first message: our final message and the
// signature the server must then show, or why there is no going on.
struct ScramAnswer {
    std::string error;  // empty when `final` may go
    platform::Secret final;
    platform::Secret server_signature;
};
ScramAnswer ScramAnswerFirst(std::string_view password, std::string_view first_bare, std::string_view nonce,
                             std::string_view server_first);

// Empty when the server's final message carries `server_signature`; else
// why the login must not count.
std::string ScramCheckFinal(std::string_view server_final, std::string_view server_signature);

#endif
