/* The process's message loop on POSIX: the stand-in for a Win32 thread's
 * message queue and its WM_TIMER dispatch. One loop per process, in a small
 * shared library that the host program and the module both link, so a timer
 * the module starts is dispatched by the loop the host pumps.
 *
 * A timer belongs to the thread that set it and runs only when that thread
 * pumps. Ticks never queue: a timer that fell due while its thread was busy
 * runs once, late, and its next tick is a full period after that run.
 *
 * A descriptor watch belongs to its thread the same way: its callback runs
 * from that thread's pump whenever the descriptor is ready (readable, or
 * writable when asked for, or in error), as often as it stays so. A due
 * timer runs before a ready descriptor. */
#ifndef QV_PLATFORM_LOOP_H
#define QV_PLATFORM_LOOP_H

#define QV_LOOP_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*qv_timer_fn)(void* context);

/* Starts a periodic timer on the calling thread; returns its id (never 0). */
QV_LOOP_API unsigned qv_loop_set_timer(unsigned period_ms, qv_timer_fn fn, void* context);

/* Gives a timer a new period, counted from now; unknown ids are ignored.
 * Safe inside the timer's own callback. */
QV_LOOP_API void qv_loop_set_period(unsigned id, unsigned period_ms);

/* Stops a timer; unknown ids are ignored. Safe inside a callback, and after
 * the loop's own statics would have been destroyed at exit. */
QV_LOOP_API void qv_loop_kill_timer(unsigned id);

/* Watches descriptor `fd` on the calling thread: `fn` runs when it is
 * readable, in error or hung up, and, with `want_write`, writable. Returns
 * the watch's id (never 0; ids are not shared with timers). */
QV_LOOP_API unsigned qv_loop_watch_fd(int fd, int want_write, qv_timer_fn fn, void* context);

/* Stops a watch; unknown ids are ignored. Safe inside a callback, and after
 * the loop's own statics would have been destroyed at exit. A watch must be
 * stopped before its descriptor is closed. */
QV_LOOP_API void qv_loop_unwatch_fd(unsigned id);

/* Number of live descriptor watches of the calling thread. */
QV_LOOP_API unsigned qv_loop_watch_count(void);

/* Waits until one of the calling thread's timers is due or one of its
 * watched descriptors is ready, then runs exactly one callback (a due timer
 * first, the most overdue; else a ready descriptor's, taking turns among
 * several). Returns 1 when a callback ran, 0 when `wait_ms` passed
 * (negative: no limit) or qv_loop_wakeup was called. */
QV_LOOP_API int qv_loop_dispatch_one(int wait_ms);

/* Waits as qv_loop_dispatch_one does, but runs nothing: returns 1 when one
 * of the calling thread's timers is due or descriptors ready (a
 * qv_loop_dispatch_one(0) then runs it without waiting), 0 when `wait_ms` passed or qv_loop_wakeup was called.
 * Lets a host time a callback apart from the wait before it. */
QV_LOOP_API int qv_loop_wait(int wait_ms);

/* Milliseconds until the calling thread's next timer falls due (0 when one
 * is overdue), or -1 when the thread has no timer. */
QV_LOOP_API int qv_loop_next_due_ms(void);

/* Makes a waiting dispatch or wait return. Async-signal-safe. */
QV_LOOP_API void qv_loop_wakeup(void);

/* Number of live timers of the calling thread (for tests and diagnostics). */
QV_LOOP_API unsigned qv_loop_timer_count(void);

#ifdef __cplusplus
}
#endif

#endif
