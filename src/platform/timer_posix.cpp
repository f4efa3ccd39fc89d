#include "platform/timer.h"

#include "platform/loop.h"

namespace platform {

bool PeriodicTimer::Start(unsigned period_ms, TimerCallback callback) {
    if (id_ == 0) id_ = qv_loop_set_timer(period_ms, callback, nullptr);
    return id_ != 0;
}

void PeriodicTimer::SetPeriod(unsigned period_ms) {
    if (id_ != 0) qv_loop_set_period(id_, period_ms);
}

void PeriodicTimer::Stop() {
    if (id_ != 0) qv_loop_kill_timer(id_);
    id_ = 0;
}

}  // namespace platform
