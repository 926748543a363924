// actgate.h — CDYRActGate, the limit on an account's early actions (the ones
// an address change asks for): at most one per second of the monotonic
// clock, counted with a ZEPByteBudget of one action. The first request of a
// second acts at once; requests later in that second fold into one more
// action when the next second begins, so a flapping link costs the server at
// most one login or report per account per second, and the last change of a
// burst is still acted on.
//
// Owns a budget and a flag. Not thread-safe: the client node that owns it
// uses it on its own thread only. Header only; no lock, no system call.
#ifndef ZEP_APP_ACTGATE_H
#define ZEP_APP_ACTGATE_H

#include <cstdint>

#include "base/zepbytebudget.h"

class CDYRActGate {
 public:
  enum Verdict {
    kActNow,    // act now
    kDeferred,  // act when the next second begins: the caller arms a timer
                // (ZEPByteBudget::MsToNextSecond()) and calls Fire when it fires
    kFolded,    // an action is due already; nothing more to do
  };

  // A request in second `nowSec` (ZEPByteBudget::Now()).
  Verdict Request(int64_t nowSec) {
    if (m_bPending) return kFolded;
    if (m_Budget.IsSpent(kPerSecond, nowSec)) {
      m_bPending = true;
      return kDeferred;
    }
    m_Budget.Charge(1, kPerSecond, nowSec);
    return kActNow;
  }
  // The timer of a deferred action fired in second `nowSec`: true when the
  // caller is to act now (counted in that second), false when nothing waits.
  bool Fire(int64_t nowSec) {
    if (!m_bPending) return false;
    m_bPending = false;
    m_Budget.Charge(1, kPerSecond, nowSec);
    return true;
  }
  bool IsPending() const { return m_bPending; }

 private:
  static constexpr int64_t kPerSecond = 1;
  ZEPByteBudget m_Budget;
  bool m_bPending = false;
};

#endif  // ZEP_APP_ACTGATE_H
