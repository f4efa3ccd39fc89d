// The periodic timer on Windows: SetTimer without a window, dispatched by
// the host's message loop on the thread that started it.
#include "platform/timer.h"

#include <windows.h>

namespace platform {
namespace {

// A windowless timer's callback is given only the timer's id; this table
// says which callback each id stands for.
struct Slot {
    UINT_PTR id;
    TimerCallback callback;
};
Slot slots[4];

VOID CALLBACK Dispatch(HWND, UINT, UINT_PTR id, DWORD) {
    for (const Slot& s : slots)
        if (s.id == id && s.callback != nullptr) return s.callback(nullptr);
}

}  // namespace

bool PeriodicTimer::Start(unsigned period_ms, TimerCallback callback) {
    if (id_ != 0) return true;
    for (Slot& s : slots) {
        if (s.id != 0) continue;
        // Without a window the identifier asked for is ignored and a new
        // one is returned each time: never start twice.
        UINT_PTR id = SetTimer(nullptr, 1, period_ms, Dispatch);
        if (id == 0) return false;
        s = {id, callback};
        id_ = static_cast<unsigned>(id);
        return true;
    }
    return false;
}

void PeriodicTimer::SetPeriod(unsigned period_ms) {
    if (id_ == 0) return;
    // Without a window, SetTimer with an existing timer's id replaces that
    // timer: same id, new period, counted from now.
    UINT_PTR id = SetTimer(nullptr, id_, period_ms, Dispatch);
    if (id == 0 || id == id_) return;
    for (Slot& s : slots)
        if (s.id == id_) s.id = id;
    id_ = static_cast<unsigned>(id);
}

void PeriodicTimer::Stop() {
    if (id_ == 0) return;
    KillTimer(nullptr, id_);
    for (Slot& s : slots)
        if (s.id == id_) s = {0, nullptr};
    id_ = 0;
}

}  // namespace platform
