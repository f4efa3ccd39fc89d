#include "net/connection.h"

#include <chrono>

SendQueue::Clock::time_point (*Connection::pace_clock)() = &SendQueue::Clock::now;

platform::ConnectResult Connection::Connect(const char* host, int port, platform::Security security) {
    if (!CanConnect()) return {false, "Connection already used"};
    attempted_ = true;
    platform::OpenResult r = platform::OpenStream(host, port, security, kConnectTimeoutMs);
    if (!r.stream) return {false, std::move(r.error)};
    stream_ = std::move(r.stream);
    state_ = ConnectionState::Connected;
    return {true, {}};
}

bool Connection::ReadMore() {
    if (!IsConnected()) return false;
    const platform::IoResult r = stream_->Read(in_.Space());
    switch (r.status) {
        case platform::IoStatus::Ok: in_.Commit(r.bytes); return true;
        case platform::IoStatus::WouldBlock: return false;
        case platform::IoStatus::EndOfStream: Drop("Connection closed by the server"); return false;
        case platform::IoStatus::Failed: Drop(stream_->ErrorText(r)); return false;
    }
    return false;
}

void Connection::Send(std::string_view framed, LineKind kind) {
    if (!IsConnected()) return;
    out_.Push(framed, kind, pace_clock());
    WriteOut();
}

void Connection::Flush() {
    if (!IsConnected()) return;
    out_.Release(pace_clock());
    WriteOut();
}

void Connection::WriteOut() {
    bool took_some = false;
    while (IsConnected() && !out_.Unwritten().empty()) {
        const platform::IoResult r = stream_->Write(out_.Unwritten());
        if (r.status == platform::IoStatus::WouldBlock) break;
        if (r.status == platform::IoStatus::EndOfStream) return Drop("Connection closed by the server");
        if (r.status != platform::IoStatus::Ok) return Drop(stream_->ErrorText(r));
        out_.Written(r.bytes);
        took_some = true;
    }
    // A slow reader still takes bytes; one that takes none while this much
    // waits has stopped reading for good, and memory may not grow for it.
    if (!took_some && out_.Unwritten().size() > kMaxUnwritten)
        Drop("The server stopped reading: over 1 MiB waits to be sent");
}

void Connection::Close() {
    if (IsConnected()) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseFlushMs);
        for (;;) {
            WriteOut();
            if (!IsConnected() || out_.Unwritten().empty()) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !stream_->WaitWritable(static_cast<int>(left))) break;
        }
        DiscardUnread();
        stream_->Shutdown();
    }
    stream_.reset();
    in_.Clear();
    out_.Clear();
    state_ = ConnectionState::Closed;
    loss_unreported_ = false;
}

void Connection::DiscardUnread() {
    // Unread bytes at close make the system reset the link, which may
    // throw away the QUIT still on its way; what has come is read off.
    // Not into the line buffer: a handler may be closing the link while
    // its line, which lives there, is still being handled.
    char discard[4096];
    for (int i = 0; i < 256 && stream_->Read(discard).status == platform::IoStatus::Ok; ++i) {
    }
}

void Connection::Abandon(std::string reason) {
    if (!IsConnected()) return;
    WriteOut();
    if (!IsConnected()) {
        // The write failed and dropped the link already; the scripts need
        // our reason more than the socket's.
        loss_ = std::move(reason);
        return;
    }
    DiscardUnread();
    stream_->Shutdown();
    Drop(std::move(reason));
}

void Connection::Drop(std::string reason) {
    if (!IsConnected()) return;
    stream_.reset();
    in_.Clear();
    out_.Clear();
    state_ = ConnectionState::Dropped;
    loss_ = std::move(reason);
    loss_unreported_ = true;
}

bool Connection::TakeLoss(std::string& reason) {
    if (!loss_unreported_) return false;
    loss_unreported_ = false;
    reason = std::move(loss_);
    return true;
}
