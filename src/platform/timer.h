// A periodic timer whose callback runs on the thread that started it, from
// the message loop that thread pumps.
#ifndef QV_PLATFORM_TIMER_H
#define QV_PLATFORM_TIMER_H

namespace platform {

// The platform's timer-callback form. What it is passed is platform detail;
// callbacks ignore it.
using TimerCallback = void (*)(void* platform_args);

class PeriodicTimer {
public:
    constexpr PeriodicTimer() = default;
    // Stops the timer: a module being unloaded must not be called back.
    ~PeriodicTimer() { Stop(); }
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // Starts the timer unless it runs already; true when it runs.
    bool Start(unsigned period_ms, TimerCallback callback);
    // A new period, counted from now; the next tick comes after it.
    void SetPeriod(unsigned period_ms);
    void Stop();
    bool Running() const { return id_ != 0; }

private:
    unsigned id_ = 0;
};

}  // namespace platform

#endif
