// waitfor.h — the one bounded wait of the tests.
//
// Every test that waits for something another thread or process does waits
// here, with a deadline: a missing wake-up or a hung peer fails the test at
// its deadline instead of hanging the suite.
#ifndef ZEP_TESTS_SUPPORT_WAITFOR_H
#define ZEP_TESTS_SUPPORT_WAITFOR_H

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace zeptest {

// Polls `cond` until it holds (true) or `ms` milliseconds passed (false; the
// condition is asked once more at the deadline). The poll starts at 1 ms and
// backs off to 20 ms: a condition that holds soon is seen at once, and a slow
// one (a log file, a child process) costs little CPU on a loaded machine.
// The default is generous: a two-core machine running sanitizer builds can
// stall a thread for seconds, and a wait that holds returns when it does.
inline bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int stepMs = 1;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    stepMs = std::min(stepMs * 2, 20);
  }
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_WAITFOR_H
