#include "net/send_queue.h"

#include <algorithm>
#include <cstring>

#include "net/ascii.h"

bool RegistrationLine(std::string_view line) {
    const std::string_view command = line.substr(0, line.find_first_of(" \r\n"));
    for (const std::string_view c : {"CAP", "AUTHENTICATE", "PASS", "NICK", "USER", "PONG", "QUIT"})
        if (ascii::SameFolded(command, c)) return true;
    return false;
}

void ByteFifo::Consume(std::size_t n) {
    platform::Wipe(buf_.data() + head_, n);
    head_ += n;
    if (head_ == buf_.size()) {
        // Kept, not freed: the next bytes reuse the capacity.
        buf_.clear();
        head_ = 0;
    } else if (head_ > 4096 && head_ > buf_.size() / 2) {
        // The rest moves to the front; the copy it leaves behind is cleared.
        const std::size_t rest = buf_.size() - head_;
        platform::NoteSecretWork();
        std::memmove(buf_.data(), buf_.data() + head_, rest);
        platform::Wipe(buf_.data() + rest, head_);
        buf_.resize(rest);
        head_ = 0;
    }
}

void ByteFifo::Clear() {
    platform::Wipe(buf_.data(), buf_.size());
    buf_.clear();
    head_ = 0;
}

bool SendQueue::Accepts(LineKind kind) const {
    switch (kind) {
        case LineKind::Script: return PacedBytes() <= kPacedLimit;
        case LineKind::Reply: return waiting_replies_ < kMaxWaitingReplies;
        case LineKind::Continuation:
        case LineKind::Background:
        case LineKind::Urgent: return true;
    }
    return false;
}

// Whether one of the framed lines in `bytes` is a QUIT.
static bool HoldsQuit(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t end = std::min(bytes.find('\n'), bytes.size());
        const std::string_view line = bytes.substr(0, end);
        if (ascii::SameFolded(line.substr(0, line.find_first_of(" \r")), "QUIT")) return true;
        bytes.remove_prefix(std::min(end + 1, bytes.size()));
    }
    return false;
}

void SendQueue::Push(std::string_view bytes, LineKind kind, Clock::time_point now) {
    quit_queued_ = quit_queued_ || HoldsQuit(bytes);
    if (kind == LineKind::Urgent) {
        out_.Append(bytes);
        return;
    }
    if (kind == LineKind::Background) {
        background_.Append(bytes);
        background_lines_.push_back(static_cast<std::uint32_t>(bytes.size()));
        return Release(now);
    }
    // Each line counts on its own against the allowance, so a text that
    // holds several is queued as several.
    while (!bytes.empty()) {
        std::size_t end = bytes.find('\n');
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        const std::string_view line = bytes.substr(0, end);
        const bool hold = held_ && !RegistrationLine(line);
        (hold ? held_bytes_ : paced_).Append(line);
        (hold ? held_lines_ : lines_).push_back({static_cast<std::uint32_t>(end), kind == LineKind::Reply});
        waiting_replies_ += kind == LineKind::Reply;
        bytes.remove_prefix(end);
    }
    Release(now);
}

void SendQueue::Release(Clock::time_point now) {
    while (!lines_.empty()) {
        if (!TakeAllowance(now)) return;
        ReleaseFront();
    }
    // The module's own queries wait behind every line of the script's.
    while (lines_.empty() && held_lines_.empty() && !background_lines_.empty()) {
        if (!TakeAllowance(now)) return;
        const std::uint32_t size = background_lines_.front();
        background_lines_.pop_front();
        out_.Append(background_.View().substr(0, size));
        background_.Consume(size);
    }
}

bool SendQueue::TakeAllowance(Clock::time_point now) {
    const auto start = std::max(pace_, now);
    if (start + kPenalty > now + kAllowance) return false;
    pace_ = start + kPenalty;
    return true;
}

void SendQueue::ReleaseAll() {
    while (!lines_.empty()) ReleaseFront();
}

void SendQueue::Hold() { held_ = true; }

void SendQueue::Unhold(Clock::time_point now) {
    held_ = false;
    // Behind the lines that wait already: those were let ahead of them.
    for (const Paced line : held_lines_) {
        paced_.Append(held_bytes_.View().substr(0, line.size));
        held_bytes_.Consume(line.size);
        lines_.push_back(line);
    }
    held_lines_.clear();
    Release(now);
}

void SendQueue::Restart(std::string_view first) {
    quit_queued_ = false;
    out_.Clear();
    for (const Paced line : lines_) waiting_replies_ -= line.reply;
    lines_.clear();
    paced_.Clear();
    background_.Clear();
    background_lines_.clear();
    pace_ = {};
    out_.Append(first);
}

void SendQueue::ReleaseFront() {
    const Paced line = lines_.front();
    lines_.pop_front();
    waiting_replies_ -= line.reply;
    out_.Append(paced_.View().substr(0, line.size));
    paced_.Consume(line.size);
}

void SendQueue::Clear() {
    out_.Clear();
    paced_.Clear();
    lines_.clear();
    background_.Clear();
    background_lines_.clear();
    held_bytes_.Clear();
    held_lines_.clear();
    waiting_replies_ = 0;
    held_ = false;
}
