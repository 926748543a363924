// zepbytebudget.h — ZEPByteBudget, the one per-second byte budget: the bytes
// counted in the current second of the monotonic clock against a limit. The
// polling engine's per-socket and total windows, the socket threads' window
// and the command links' throttle all count with it.
//
// Owns two numbers. Not thread-safe: each owner serialises its budget (the
// engine lock, the owning socket thread, a bandwidth mutex). Header only; no
// lock, no system call but the clock.
//
// Rules: a new second starts with the bytes that opened it and is never
// spent by them alone (one read larger than the limit still goes through);
// within a second the bytes add up, and the second is spent once they reach
// the limit. Seconds are compared for a change, so they can only move on.
#ifndef ZEP_BASE_ZEPBYTEBUDGET_H
#define ZEP_BASE_ZEPBYTEBUDGET_H

#include <climits>
#include <cstdint>

#include "base/zepmultithread_clock.h"

class ZEPByteBudget {
 public:
  // The current second of the clock the budgets count on.
  static int64_t Now() { return ZEPMonoSec(); }
  // Milliseconds until the next second of that clock begins (1..1000).
  static int64_t MsToNextSecond() { return 1000 - ZEPMonoMs() % 1000; }

  // Starts the second `nowSec` from nothing when it is not the counted one.
  void Enter(int64_t nowSec) {
    if (nowSec != m_nSecond) Restart(nowSec, 0);
  }
  // Counts `bytes` in the second `nowSec` (a new second starts with them).
  // True when that second is spent: its bytes reached `limit`.
  bool Charge(int64_t bytes, int64_t limit, int64_t nowSec) {
    if (nowSec != m_nSecond) {
      Restart(nowSec, bytes);
      return false;
    }
    m_nBytes += bytes;
    return m_nBytes >= limit;
  }
  // True while `nowSec` is the counted second and its bytes reached `limit`.
  bool IsSpent(int64_t limit, int64_t nowSec) const {
    return nowSec == m_nSecond && m_nBytes >= limit;
  }
  // The counted second is now `nowSec`, holding `bytes`.
  void Restart(int64_t nowSec, int64_t bytes) {
    m_nSecond = nowSec;
    m_nBytes = bytes;
  }
  int64_t Second() const { return m_nSecond; }
  int64_t Bytes() const { return m_nBytes; }

 private:
  int64_t m_nSecond = INT64_MIN;  // no second counted yet
  int64_t m_nBytes = 0;
};

#endif  // ZEP_BASE_ZEPBYTEBUDGET_H
