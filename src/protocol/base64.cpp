#include "protocol/base64.h"

namespace {

int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

void AppendBase64(platform::Secret& out, std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.Reserve(out.Size() + (bytes.size() + 2) / 3 * 4);
    char quad[4];
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (left > 1) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (left > 2) n |= static_cast<unsigned char>(bytes[i + 2]);
        quad[0] = kDigits[n >> 18 & 63];
        quad[1] = kDigits[n >> 12 & 63];
        quad[2] = left > 1 ? kDigits[n >> 6 & 63] : '=';
        quad[3] = left > 2 ? kDigits[n & 63] : '=';
        out.Append({quad, 4});
    }
    platform::Wipe(quad, sizeof quad);
}

bool DecodeBase64(std::string_view text, platform::Secret& out) {
    out.Clear();
    if (text.size() % 4 != 0) return false;
    out.Reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        // Padding only at the very end: "xx==" or "xxx=".
        const std::size_t pad = last ? (text[at + 3] == '=') + (text[at + 2] == '=' && text[at + 3] == '=') : 0;
        unsigned n = 0;
        for (std::size_t i = 0; i < 4 - pad; ++i) {
            const int d = Base64Digit(text[at + i]);
            if (d < 0) return false;
            n |= static_cast<unsigned>(d) << (18 - 6 * i);
        }
        // The bits past the last byte must be zero, or two texts would
        // stand for the same bytes.
        if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) return false;
        const char bytes[3] = {static_cast<char>(n >> 16), static_cast<char>(n >> 8 & 0xFF),
                               static_cast<char>(n & 0xFF)};
        out.Append({bytes, 3 - pad});
    }
    return true;
}
