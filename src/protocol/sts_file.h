// STS policies kept in a file the script names, so that a restarted host
// still sends a plain connect to such a name straight to TLS. One line of
// text a policy, under a header that names the form:
//   quorvane-sts 1
//   HOST PORT EXPIRY DURATION
// EXPIRY in seconds since 1970 (UTC), DURATION in seconds, as the server
// gave it, for the policy to run again from a link's end.
#ifndef QV_PROTOCOL_STS_FILE_H
#define QV_PROTOCOL_STS_FILE_H

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "session/sts.h"

// The clock a policy's expiry is written on; tests step it by hand.
extern std::chrono::system_clock::time_point (*sts_wall_clock)();

// Bounds on what is read: the most policies a file holds (more are skipped)
// and the largest file (refused whole), which the most policies of the
// longest names fit in.
inline constexpr std::size_t kMaxStsFilePolicies = 10000;
inline constexpr std::size_t kMaxStsFileBytes = 4 << 20;

// The file's text for the policies that hold now.
std::string StsFileText(const StsPolicies& policies);

// Reads a file's text into `policies`: a host the file names gets its
// policy there unless the one it has runs longer. False, with `error`, for
// text that is not such a file (nothing taken). Lines that hold no sound
// policy are skipped, and said in `skipped`; expired ones are dropped.
// Gives the count of policies taken from the file in `taken`.
bool ReadStsFileText(std::string_view text, StsPolicies& policies, std::size_t& taken, std::string& error,
                     std::string& skipped);

// Writes Globals::stsPolicies to the file scripts named, if any; a failure
// is a console line (the policies still hold for the process).
void KeepStsPolicies();

#endif
