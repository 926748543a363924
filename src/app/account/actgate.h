// actgate.h — CDYRActGate, the limit on an account's early actions (the ones
// address changes ask for): two actions are at least a second apart on the
// monotonic clock. A request a second or more after the last action acts at
// once; requests within that second fold into one more action when the
// second has passed, so a flapping link costs the server at most one login
// or report per account per second, and the last change of a burst is still
// acted on.
//
// A per-second budget of the clock's own seconds (ZEPByteBudget) would let
// two actions come a millisecond apart, on either side of a second's start;
// the spacing here is counted from the action itself.
//
// Owns two numbers and a flag. Not thread-safe: the client node that owns it
// uses it on its own thread only. Header only; no lock, no system call.
#ifndef ZEP_APP_ACCOUNT_ACTGATE_H
#define ZEP_APP_ACCOUNT_ACTGATE_H

#include <cstdint>

class CDYRActGate {
 public:
  static constexpr int64_t kSpacingMs = 1000;
  enum Verdict {
    kActNow,    // act now
    kDeferred,  // act later: the caller arms a one-shot timer of DueInMs()
                // and calls Fire when it fires
    kFolded,    // an action is due already; nothing more to do
  };

  // A request at `nowMs` (ZEPMonoMs()).
  Verdict Request(int64_t nowMs) {
    if (m_bPending) return kFolded;
    if (m_bActed && nowMs - m_nLastMs < kSpacingMs) {
      m_bPending = true;
      return kDeferred;
    }
    Acted(nowMs);
    return kActNow;
  }
  // Milliseconds from `nowMs` until a deferred action is due (at least 1).
  int64_t DueInMs(int64_t nowMs) const {
    const int64_t due = m_nLastMs + kSpacingMs - nowMs;
    return due < 1 ? 1 : due;
  }
  // The timer of a deferred action fired at `nowMs`: true when the caller is
  // to act now, false when nothing waits.
  bool Fire(int64_t nowMs) {
    if (!m_bPending) return false;
    m_bPending = false;
    Acted(nowMs);
    return true;
  }
  bool IsPending() const { return m_bPending; }

 private:
  void Acted(int64_t nowMs) {
    m_bActed = true;
    m_nLastMs = nowMs;
  }

  bool m_bActed = false;  // m_nLastMs means something
  int64_t m_nLastMs = 0;
  bool m_bPending = false;
};

#endif  // ZEP_APP_ACCOUNT_ACTGATE_H
