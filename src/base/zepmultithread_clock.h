// zepmultithread_clock.h — clocks, sleeping and waiting for a wake-up.
//
// Owns: nothing but the wake-up descriptor of each ZEPWakeFd. The monotonic
// clock (ZEPMonoMs and friends) measures every deadline and time-out of the
// framework, so setting the wall clock delays nothing; ZEPSleep is the
// millisecond sleep; ZEPWakeFd and ZEPWaitReadable let a thread sleep until
// another one (or a signal handler) wakes it; ZEPLocalTimeText is the one
// wall-clock text of the reports.
//
// Threads: any thread. ZEPWakeFd::Notify is async-signal-safe. Locks: none.
#ifndef ZEP_BASE_ZEPMULTITHREAD_CLOCK_H
#define ZEP_BASE_ZEPMULTITHREAD_CLOCK_H

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// Milliseconds of the monotonic clock.
int64_t ZEPMonoMs();
// Microseconds of the same clock.
int64_t ZEPMonoUs();
// Whole seconds of the monotonic clock (64-bit: per-second windows keep
// working past 2038).
int64_t ZEPMonoSec();

// A wake-up descriptor (eventfd): a thread that waits in poll() on it is
// woken by Notify() from any thread. Notify() is async-signal-safe.
class ZEPWakeFd {
 public:
  ZEPWakeFd();
  ~ZEPWakeFd();
  ZEPWakeFd(const ZEPWakeFd&) = delete;
  ZEPWakeFd& operator=(const ZEPWakeFd&) = delete;

  // The descriptor to poll for POLLIN, or -1 when none could be had.
  int Fd() const { return m_nFd; }
  void Notify();
  // Takes every pending notification; the descriptor is then not readable.
  void Drain();

 private:
  int m_nFd;
};

// Waits up to `timeoutMs` (negative: without limit) for `fd` to be readable.
// 1 readable, 0 time-out, -1 error. A signal ends the wait early (0).
int ZEPWaitReadable(int fd, int64_t timeoutMs);

// Sleeps `ms` milliseconds (select on no descriptors); a signal ends it early.
void ZEPSleep(unsigned long ms);
// The time-out ZEPSleep waits for.
timeval ZEPSleepTimeval(unsigned long ms);

// `when` in local time as "YYYY/MM/DD HH:MM:SS" (the frame report's start
// time, the links' time stamps), written to `buf` (20 bytes hold it);
// returns buf.
char* ZEPLocalTimeText(time_t when, char* buf, size_t size);

#endif  // ZEP_BASE_ZEPMULTITHREAD_CLOCK_H
