#include "net/send_queue.h"

#include <algorithm>

bool SendQueue::Accepts(LineKind kind) const {
    switch (kind) {
        case LineKind::Script: return PacedBytes() <= kPacedLimit;
        case LineKind::Reply: return waiting_replies_ < kMaxWaitingReplies;
        case LineKind::Continuation:
        case LineKind::Urgent: return true;
    }
    return false;
}

void SendQueue::Push(std::string_view bytes, LineKind kind, Clock::time_point now) {
    if (kind == LineKind::Urgent) {
        out_.append(bytes);
        return;
    }
    // Each line counts on its own against the allowance, so a text that
    // holds several is queued as several.
    while (!bytes.empty()) {
        std::size_t end = bytes.find('\n');
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        paced_.append(bytes.substr(0, end));
        lines_.push_back({static_cast<std::uint32_t>(end), kind == LineKind::Reply});
        waiting_replies_ += kind == LineKind::Reply;
        bytes.remove_prefix(end);
    }
    Release(now);
}

void SendQueue::Release(Clock::time_point now) {
    while (!lines_.empty()) {
        const auto start = std::max(pace_, now);
        if (start + kPenalty > now + kAllowance) break;
        pace_ = start + kPenalty;
        ReleaseFront();
    }
}

void SendQueue::ReleaseAll() {
    while (!lines_.empty()) ReleaseFront();
}

void SendQueue::ReleaseFront() {
    const Paced line = lines_.front();
    lines_.pop_front();
    waiting_replies_ -= line.reply;
    out_.append(paced_, paced_head_, line.size);
    paced_head_ += line.size;
    if (paced_head_ == paced_.size()) {
        paced_.clear();
        paced_head_ = 0;
    } else if (paced_head_ > 4096 && paced_head_ > paced_.size() / 2) {
        paced_.erase(0, paced_head_);
        paced_head_ = 0;
    }
}

void SendQueue::Written(std::size_t n) {
    out_head_ += n;
    if (out_head_ == out_.size()) {
        // Kept, not freed: the next lines reuse the capacity.
        out_.clear();
        out_head_ = 0;
    } else if (out_head_ > 4096 && out_head_ > out_.size() / 2) {
        out_.erase(0, out_head_);
        out_head_ = 0;
    }
}

void SendQueue::Clear() {
    out_.clear();
    out_head_ = 0;
    paced_.clear();
    paced_head_ = 0;
    lines_.clear();
    waiting_replies_ = 0;
}
