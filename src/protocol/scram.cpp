#include "protocol/scram.h"

#include "net/ascii.h"
#include "net/server_text.h"
#include "platform/crypto.h"
#include "platform/saslprep.h"
#include "protocol/base64.h"
#include "protocol/items.h"
#include "protocol/sasl.h"

namespace {

// Random bytes in our nonce: 192 bits, 32 characters of base64.
constexpr std::size_t kNonceBytes = 24;

// The final message's channel-binding attribute: the gs2 header "n,,"
// (no channel binding, no authorization identity) in base64.
constexpr std::string_view kNoChannelBinding = "c=biws";

std::string RandomNonce() {
    unsigned char bytes[kNonceBytes];
    if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
    platform::Secret text;
    AppendBase64(text, {reinterpret_cast<const char*>(bytes), sizeof bytes});
    platform::Wipe(bytes, sizeof bytes);
    return std::string(text.View());
}

bool Letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A message's "x=value" attributes, separated by commas.
struct Attributes {
    std::string_view message;

    // Whether every part is an attribute: a letter, '=' and its value, none
    // left empty between commas.
    bool WellFormed() const {
        if (message.empty() || message.front() == ',' || message.back() == ',' ||
            message.find(",,") != std::string_view::npos)
            return false;
        for (const auto [name, value] : Items(message, ','))
            if (name.size() != 1 || !Letter(name[0]) || !value) return false;
        return true;
    }
    // The value of the first attribute named `letter`; false when none is.
    bool Find(char letter, std::string_view& value) const {
        for (const auto [name, found] : Items(message, ',')) {
            if (name.size() == 1 && name[0] == letter && found) {
                value = *found;
                return true;
            }
        }
        return false;
    }
};

// A nonce is printable ASCII but ','.
bool PrintableNonce(std::string_view nonce) {
    for (char c : nonce)
        if (c < '!' || c > '~') return false;
    return !nonce.empty();
}

// An iteration count in decimal, 1 or more, with no leading zero; `count`
// holds up to the cap plus one, enough to tell that it is over.
bool IterationCount(std::string_view text, std::uint32_t& count) {
    std::uint64_t n = 0;
    if (text.starts_with('0') || !ascii::Decimal(text, std::uint64_t{kScramMaxIterations} + 1, n)) return false;
    count = static_cast<std::uint32_t>(n);
    return true;
}

// Whether two byte strings are equal, in a time that does not tell where
// they differ.
bool SameBytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}


}  // namespace

std::string (*scram_nonce)() = RandomNonce;

std::string_view ScramPasswordRefused(std::string_view password) {
    platform::Secret prepared;
    return platform::SaslPrep(password, prepared);
}

void ScramFirst(std::string_view account, std::string_view nonce, platform::Secret& message,
                platform::Secret& first_bare) {
    first_bare.Clear();
    first_bare.Reserve(2 + 3 * account.size() + 3 + nonce.size());
    first_bare.Append("n=");
    for (char c : account) {
        if (c == ',')
            first_bare.Append("=2C");
        else if (c == '=')
            first_bare.Append("=3D");
        else
            first_bare.Append(1, c);
    }
    first_bare.Append(",r=");
    first_bare.Append(nonce);
    message.Clear();
    message.Reserve(3 + first_bare.Size());
    message.Append("n,,");
    message.Append(first_bare.View());
}

ScramAnswer ScramAnswerFirst(std::string_view password, std::string_view first_bare, std::string_view nonce,
                             std::string_view server_first) {
    ScramAnswer answer;
    const Attributes attributes{server_first};
    std::string_view value;
    if (attributes.Find('e', value)) {
        answer.error = "the server refused the SCRAM login: " + ServerText(value);
        return answer;
    }
    if (!attributes.WellFormed()) {
        answer.error = kScramMalformed;
        return answer;
    }
    // A mandatory extension we cannot know how to honour.
    if (attributes.Find('m', value)) {
        answer.error = "the server asks for a SCRAM extension we do not know";
        return answer;
    }
    std::string_view combined, salt_text, count_text;
    if (!attributes.Find('r', combined) || !PrintableNonce(combined)) {
        answer.error = kScramMalformed;
        return answer;
    }
    // The server adds its part to ours, which keeps every exchange fresh:
    // what we sign is this one, not one recorded earlier.
    if (!combined.starts_with(nonce)) {
        answer.error = "the server's SCRAM nonce does not start with ours";
        return answer;
    }
    if (combined.size() == nonce.size()) {
        answer.error = "the server's SCRAM nonce adds nothing to ours";
        return answer;
    }
    if (!attributes.Find('s', salt_text) || salt_text.empty()) {
        answer.error = "the server sent no SCRAM salt";
        return answer;
    }
    platform::Secret salt;
    if (!DecodeBase64(salt_text, salt) || salt.Empty()) {
        answer.error = "the server's SCRAM salt is not base64";
        return answer;
    }
    std::uint32_t iterations = 0;
    if (!attributes.Find('i', count_text) || !IterationCount(count_text, iterations)) {
        answer.error = kScramMalformed;
        return answer;
    }
    if (iterations > kScramMaxIterations) {
        answer.error = "the server asks for " + ServerText(count_text) + " SCRAM iterations (at most " +
                       std::to_string(kScramMaxIterations) + ")";
        return answer;
    }
    if (iterations < kScramMinIterations) {
        answer.error = "the server asks for too few SCRAM iterations: " + std::to_string(iterations) + " (at least " +
                       std::to_string(kScramMinIterations) + ")";
        return answer;
    }

    // Both sides hash the password as SASLprep prepares it.
    platform::Secret prepared;
    if (const std::string_view why = platform::SaslPrep(password, prepared); !why.empty()) {
        answer.error = why;
        return answer;
    }

    // RFC 5802, 3: what each side proves is a signature over the exchange.
    platform::Secret without_proof;
    without_proof.Reserve(kNoChannelBinding.size() + 3 + combined.size());
    without_proof.Append(kNoChannelBinding);
    without_proof.Append(",r=");
    without_proof.Append(combined);
    platform::Secret auth_message;
    auth_message.Reserve(first_bare.size() + 1 + server_first.size() + 1 + without_proof.Size());
    auth_message.Append(first_bare);
    auth_message.Append(1, ',');
    auth_message.Append(server_first);
    auth_message.Append(1, ',');
    auth_message.Append(without_proof.View());

    platform::Digest salted, client_key, stored_key, client_signature, proof, server_key, server_signature;
    const bool computed = platform::Pbkdf2Sha256(prepared.View(), salt.View(), iterations, salted) &&
                          platform::HmacSha256(salted.View(), "Client Key", client_key) &&
                          platform::Sha256(client_key.View(), stored_key) &&
                          platform::HmacSha256(stored_key.View(), auth_message.View(), client_signature) &&
                          platform::HmacSha256(salted.View(), "Server Key", server_key) &&
                          platform::HmacSha256(server_key.View(), auth_message.View(), server_signature);
    if (!computed) {
        answer.error = "the system could not compute the SCRAM proof";
        return answer;
    }
    for (std::size_t i = 0; i < platform::Digest::kSize; ++i)
        proof.bytes[i] = client_key.bytes[i] ^ client_signature.bytes[i];

    answer.final.Reserve(without_proof.Size() + 3 + (platform::Digest::kSize + 2) / 3 * 4);
    answer.final.Append(without_proof.View());
    answer.final.Append(",p=");
    AppendBase64(answer.final, proof.View());
    answer.server_signature.Assign(server_signature.View());
    return answer;
}

std::string ScramCheckFinal(std::string_view server_final, std::string_view server_signature) {
    const Attributes attributes{server_final};
    std::string_view value;
    if (attributes.Find('e', value)) return "the server refused the SCRAM login: " + ServerText(value);
    if (!attributes.WellFormed() || !attributes.Find('v', value)) return std::string(kScramMalformed);
    platform::Secret shown;
    if (!DecodeBase64(value, shown)) return std::string(kScramMalformed);
    if (!SameBytes(shown.View(), server_signature))
        return "the server did not prove it knows the password (wrong SCRAM signature)";
    return {};
}
