// Socket watches on Windows: WSAAsyncSelect posts the socket's events to a
// message-only window of the module's own, which the host's message loop
// dispatches on its thread, as it does the poll's timer. The tick a socket
// wakes runs in a WM_TIMER callback: Windows contains a fault (the host
// lives on, the poll reports the tick ended abnormally) only there, not in
// a window procedure.
#include "platform/socket_watch.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {
namespace {

constexpr UINT kSocketMessage = WM_APP + 0x2F1;
constexpr wchar_t kClassName[] = L"quorvane-socket-watch";

HINSTANCE ThisModule() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &self);
    return self;
}

// The socket a queued wake is for, or none: the module watches one socket
// at a time, so the latest one named is the one to wake.
SocketHandle pending = kNoSocket;

// Registered by SetTimer on the window, so that DispatchMessage calls it for
// the WM_TIMER the window procedure posts: it does so only for a timer
// procedure of a live timer.
VOID CALLBACK WakeTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    // Taken before the tick: one that faults leaves none pending, which
    // would keep the next wakes from being posted.
    const SocketHandle sock = pending;
    pending = kNoSocket;
    // A message posted before its watch stopped names a socket no watch
    // has: Wake then does nothing. So does the timer's own rare firing.
    if (sock != kNoSocket) SocketWatch::Wake(sock);
}

constexpr UINT_PTR kWakeTimer = 1;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != kSocketMessage) return DefWindowProcW(window, message, wparam, lparam);
    // One wake queued at a time: a burst of socket events is one tick.
    const bool queued = pending != kNoSocket;
    pending = static_cast<SocketHandle>(wparam);
    if (!queued && !PostMessageW(window, WM_TIMER, kWakeTimer, reinterpret_cast<LPARAM>(WakeTimerProc)))
        pending = kNoSocket;
    return 0;
}

// The window lives from the first watch until the module is unloaded: a
// flood's backlog stops and starts the watch every few milliseconds.
class Window {
public:
    constexpr Window() = default;
    // Before the module's code goes: its messages still queued are taken
    // out, the window and its class are gone, so nothing calls into it.
    ~Window() {
        if (handle_ == nullptr) return;
        KillTimer(handle_, kWakeTimer);
        MSG message;
        while (PeekMessageW(&message, handle_, WM_TIMER, WM_TIMER, PM_REMOVE)) {
        }
        while (PeekMessageW(&message, handle_, kSocketMessage, kSocketMessage, PM_REMOVE)) {
        }
        pending = kNoSocket;
        DestroyWindow(handle_);
        handle_ = nullptr;
        UnregisterClassW(kClassName, ThisModule());
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND Get() {
        if (handle_ != nullptr) return handle_;
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = ThisModule();
        wc.lpszClassName = kClassName;
        // Left registered by a copy of the module that could not take it
        // back: it is this module's to use anew.
        if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
        handle_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        // The longest period there is: it all but never fires by itself.
        if (handle_ != nullptr && SetTimer(handle_, kWakeTimer, USER_TIMER_MAXIMUM, WakeTimerProc) == 0) {
            DestroyWindow(handle_);
            handle_ = nullptr;
        }
        return handle_;
    }
    HWND Existing() const { return handle_; }

private:
    HWND handle_ = nullptr;
};

Window window;

}  // namespace

void SocketWatch::Follow(SocketInterest interest, WakeCallback callback) {
    if (interest == watched_ && callback == callback_ && id_ != 0) return;
    Stop();
    if (interest.sock == kNoSocket || callback == nullptr) return;
    HWND target = window.Get();
    if (target == nullptr) return;
    // FD_WRITE comes once the socket has room after a send it refused, and
    // once a connect is done (as does FD_CONNECT).
    const long events = FD_READ | FD_CLOSE | FD_CONNECT | (interest.write ? FD_WRITE : 0);
    if (WSAAsyncSelect(static_cast<SOCKET>(interest.sock), target, kSocketMessage, events) != 0) return;
    id_ = 1;
    watched_ = interest;
    callback_ = callback;
    Link();
}

void SocketWatch::Stop() {
    if (id_ == 0) return;
    // Before the socket is closed: no event of it is posted after this.
    if (HWND target = window.Existing()) WSAAsyncSelect(static_cast<SOCKET>(watched_.sock), target, 0, 0);
    id_ = 0;
    watched_ = {};
    callback_ = nullptr;
    Unlink();
}

}  // namespace platform
