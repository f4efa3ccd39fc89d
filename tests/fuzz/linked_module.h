// For the fuzz targets: the module's one connection, linked once per
// process to a loopback peer that reads back everything the module writes.
#ifndef QV_TESTS_FUZZ_LINKED_MODULE_H
#define QV_TESTS_FUZZ_LINKED_MODULE_H

#include <string>
#include <string_view>
#include <vector>

#include "loopback.h"
#include "recording_host.h"

extern "C" int gmod_open(ILuaInterface* lua);
extern "C" int gmod_close(lua_State* state);

// Pacing off (the send clock leaps ahead at every look), a loopback peer
// listening, and Globals::client connected to it.
LoopbackServer& LinkModule();

// Connects the module to the peer through irc.Connect on `host` (open);
// aborts unless that succeeds and the peer accepts. Unless a login is set,
// CAP is answered as a server that knows none answers it.
void ConnectModule(RecordingHost& host, const std::vector<Arg>& args);

// Everything the module wrote since the last call: a marker line is sent
// behind it (ahead of paced lines on hold) and the peer reads up to the
// marker. Aborts when the marker
// does not come back, since then the module lost or held back a line.
std::string WrittenByModule();

// The CR LF lines of `wire`; aborts when it does not end in CR LF.
std::vector<std::string_view> WireLines(std::string_view wire);

// `text` as the module puts it on the wire: bytes above 0x7F as '?'.
std::string SevenBit(std::string_view text);

// Stops the run with a message; libFuzzer saves the input.
[[noreturn]] void Fail(const char* what, std::string_view detail = {});

#endif
