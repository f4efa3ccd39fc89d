#include "net/connection.h"

#include <utility>

#include "net/frame.h"
#include "net/server_text.h"

SendQueue::Clock::time_point (*Connection::pace_clock)() = &SendQueue::Clock::now;
SendQueue::Clock::time_point (*Connection::idle_clock)() = &SendQueue::Clock::now;

bool Connection::Connect(const std::string& host, int port, platform::Security security, int ping_timeout_s,
                         std::shared_ptr<const platform::ClientCert> cert, std::string& error) {
    if (!CanConnect()) {
        error = "Connection already used";
        return false;
    }
    host_ = host;
    port_ = port;
    security_ = security;
    cert_ = std::move(cert);
    opening_ = std::make_unique<platform::Opening>(host, port, security, kConnectTimeoutMs,
                                                   security == platform::Security::Plain ? nullptr : cert_);
    // Only what fails before anything waits is told here; the rest, even a
    // refusal the system knew at once, comes from the poll, so scripts have
    // one place to learn that a link did not come up.
    if (!opening_->Error().empty()) {
        error = opening_->Error();
        opening_.reset();
        state_ = ConnectionState::Closed;
        return false;
    }
    state_ = ConnectionState::Connecting;
    session_.alive.timeout_s = ping_timeout_s;
    // Under way at once, so the server sees the connect before the first
    // tick; how it went is taken up by the tick, even when already known.
    opening_->Step();
    return true;
}

bool Connection::Advance() {
    if (!IsConnecting()) return false;
    // A handshake works with keys, and a client certificate's.
    platform::NoteSecretWork();
    switch (opening_->Step()) {
        case platform::Opening::Status::Pending: return false;
        case platform::Opening::Status::Failed: {
            std::string reason = "Connect failed: " + opening_->Error();
            if (tls_required_) reason += " (the server requires TLS)";
            Drop(std::move(reason));
            return false;
        }
        case platform::Opening::Status::Open: break;
    }
    stream_ = opening_->TakeStream();
    session_.server_certificate = opening_->ServerCertificate();
    opening_.reset();
    state_ = ConnectionState::Connected;
    session_.alive.heard = idle_clock();
    session_.up_since = progress_ = pace_clock();
    WriteOut();
    return true;
}

void Connection::Reopen(int port, platform::Security security, Session next) {
    next.alive.timeout_s = session_.alive.timeout_s;
    session_ = std::move(next);
    if (!IsConnected()) return;
    // Not a byte more on the old link: it is shut, not quit.
    DiscardUnread();
    stream_->Shutdown();
    stream_.reset();
    in_.Clear();
    write_failure_.clear();
    out_.Restart(session_.caps.registration.View());
    port_ = port;
    security_ = security;
    opening_ = std::make_unique<platform::Opening>(host_, port, security, kConnectTimeoutMs,
                                                   security == platform::Security::Plain ? nullptr : cert_);
    state_ = ConnectionState::Connecting;
    if (!opening_->Error().empty()) {
        std::string reason = "Connect failed: " + opening_->Error();
        if (tls_required_) reason += " (the server requires TLS)";
        return Drop(std::move(reason));
    }
    opening_->Step();
}

platform::SocketInterest Connection::Interest() const {
    if (IsConnecting() && opening_) return opening_->Interest();
    if (IsConnected() && stream_) return {stream_->Socket(), !out_.Unwritten().empty()};
    return {};
}

bool Connection::ReadMore() {
    if (!IsConnected()) return false;
    // Decrypting works with the session's keys; a plain read is the
    // system's copy.
    if (security_.kind != platform::Security::Plain) platform::NoteSecretWork();
    const platform::IoResult r = stream_->Read(in_.Space());
    switch (r.status) {
        case platform::IoStatus::Ok:
            in_.Commit(r.bytes);
            session_.alive.heard = idle_clock();
            session_.alive.probed = false;
            return true;
        // A write failed: all that had come is handled now, and no more will.
        case platform::IoStatus::WouldBlock:
            if (!write_failure_.empty()) Drop(Ending({}));
            return false;
        case platform::IoStatus::EndOfStream: {
            // The server may have shut only its sending side and still
            // read: what the tick holds back (PONGs, a handler's lines)
            // goes before the link ends. The reason stays the server's,
            // whatever that write meets.
            std::string reason = Ending(ClosedByServer());
            if (batching_) WriteOut();
            Drop(std::move(reason));
            return false;
        }
        case platform::IoStatus::Failed: Drop(Ending(stream_->ErrorText(r))); return false;
    }
    return false;
}

void Connection::Send(std::string_view framed, LineKind kind) {
    if (!TakesLines()) return;
    out_.Push(framed, kind, pace_clock());
    if (!batching_) WriteOut();
}

void Connection::SendVerbatim(std::string_view line, LineKind kind) {
    line = FirstLine(line);
    platform::Secret framed;
    framed.Reserve(line.size() + 2);
    framed.Append(line);
    framed.Append("\r\n");
    Send(framed.View(), kind);
}

void Connection::Quit(std::string_view why) {
    std::string line = "QUIT :";
    line.append(why).append("\r\n");
    Send(line, LineKind::Urgent);
}

void Connection::Flush() {
    batching_ = false;
    if (!TakesLines()) return;
    out_.Release(pace_clock());
    WriteOut();
}

void Connection::CheckAlive() {
    Liveness& alive = session_.alive;
    if (!IsConnected() || alive.timeout_s <= 0) return;
    const auto silent = idle_clock() - alive.heard;
    const auto limit = std::chrono::seconds(alive.timeout_s);
    if (silent >= limit)
        return Drop("Ping timeout: nothing from the server for " + std::to_string(alive.timeout_s) + " s");
    // Any reply at all counts; the server's PONG reaches scripts as a line.
    if (!alive.probed && silent >= limit / 2) {
        alive.probed = true;
        Send("PING :quorvane\r\n", LineKind::Urgent);
    }
}

void Connection::WriteOut() {
    bool took_some = false;
    // A link whose write failed is ended by the reads, once they have
    // handed on what came before: the server's reason may be among it.
    while (IsConnected() && write_failure_.empty() && !out_.Unwritten().empty()) {
        platform::NoteSecretWork();
        const platform::IoResult r = stream_->Write(out_.Unwritten());
        if (r.status == platform::IoStatus::WouldBlock) break;
        if (r.status != platform::IoStatus::Ok) {
            write_failure_ = r.status == platform::IoStatus::EndOfStream ? "Connection closed by the server"
                                                                          : stream_->ErrorText(r);
            return;
        }
        out_.Written(r.bytes);
        took_some = true;
    }
    // Nothing is written while connecting: no fault of the server's.
    if (!IsConnected() || !write_failure_.empty()) return;
    // A slow reader still takes bytes now and then; one that takes none for
    // long while this much waits has stopped reading for good, and memory
    // may not grow for it.
    const auto now = pace_clock();
    if (took_some || out_.Unwritten().size() <= kMaxUnwritten)
        progress_ = now;
    else if (now - progress_ >= std::chrono::milliseconds(kStallMs))
        Drop("The server stopped reading: over " + std::to_string(kMaxUnwritten >> 20) + " MiB waits to be sent");
}

void Connection::Close() {
    if (IsConnected()) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseFlushMs);
        for (;;) {
            WriteOut();
            if (!IsConnected() || !write_failure_.empty() || out_.Unwritten().empty()) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !stream_->WaitWritable(static_cast<int>(left))) break;
        }
    }
    // A write may have found the link lost (the peer reset it): then there
    // is nothing to read off or shut down.
    if (IsConnected() && write_failure_.empty()) {
        DiscardUnread();
        stream_->Shutdown();
    }
    opening_.reset();
    stream_.reset();
    in_.Clear();
    out_.Clear();
    ForgetSecrets();
    ForgetRoom();
    state_ = ConnectionState::Closed;
    loss_unreported_ = false;
}

void Connection::DiscardUnread() {
    platform::NoteSecretWork();
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
    // After a failed write the scripts still need our reason more than the
    // socket's.
    if (IsConnected() && write_failure_.empty()) {
        DiscardUnread();
        stream_->Shutdown();
    }
    Drop(std::move(reason));
}

void Connection::Refuse(std::string reason) {
    if (!CanConnect()) return;
    state_ = ConnectionState::Dropped;
    loss_ = std::move(reason);
    loss_unreported_ = true;
}

void Connection::Drop(std::string reason) {
    if (!TakesLines()) return;
    // Ending a TLS link may encrypt its close.
    platform::NoteSecretWork();
    ForgetSecrets();
    ForgetRoom();
    opening_.reset();
    stream_.reset();
    in_.Clear();
    out_.Clear();
    state_ = ConnectionState::Dropped;
    loss_ = std::move(reason);
    loss_unreported_ = true;
}

void Connection::ForgetSecrets() {
    session_.login = {};
    session_.caps.registration.Clear();
}

void Connection::ForgetRoom() { session_.room = Room(); }

bool Connection::TakeLoss(std::string& reason) {
    if (!loss_unreported_) return false;
    loss_unreported_ = false;
    reason = std::move(loss_);
    return true;
}

void Connection::NoteServerError(std::string_view text) {
    session_.server_ended = true;
    session_.server_error = ServerText(text);
}

std::string Connection::Ending(std::string socket_text) const {
    // After its ERROR the server is ending the link; a reset then is its
    // way of closing too.
    if (session_.server_ended) return ClosedByServer();
    return write_failure_.empty() ? std::move(socket_text) : write_failure_;
}

std::string Connection::ClosedByServer() const {
    std::string reason = "Connection closed by the server";
    if (!session_.server_error.empty()) reason.append(": ").append(session_.server_error);
    return reason;
}
