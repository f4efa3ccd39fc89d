// Base64 as AUTHENTICATE carries it: padded, the standard alphabet. Both
// ways through platform::Secret, since what it carries is a credential.
#ifndef QV_PROTOCOL_BASE64_H
#define QV_PROTOCOL_BASE64_H

#include <string_view>

#include "platform/secret.h"

// Appends the base64 of `bytes`, with padding.
void AppendBase64(platform::Secret& out, std::string_view bytes);

// The bytes `text` stands for (padded, nothing else, unused bits zero);
// false for anything else.
bool DecodeBase64(std::string_view text, platform::Secret& out);

#endif
