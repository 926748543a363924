// bench_util.h — pieces the socket benchmarks share: a count the receiving
// side raises and the sending side waits on, a plain loopback TCP connection,
// and the listener step of a frame node (attach the accepted socket).
#ifndef ZEP_BENCH_BENCH_UTIL_H
#define ZEP_BENCH_BENCH_UTIL_H

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "../tests/support/nettest_util.h"
#include "frame/zepframe.h"

namespace benchutil {

// What the receiving side has taken, and a way to wait for a target.
struct Counter {
  std::atomic<uint64_t> n{0};
  std::atomic<uint64_t> target{0};
  std::mutex mu;
  std::condition_variable cv;
  void Add(uint64_t k) {
    uint64_t now = n.fetch_add(k) + k;
    if (now >= target.load()) {
      std::lock_guard<std::mutex> lk(mu);
      cv.notify_all();
    }
  }
  bool WaitFor(uint64_t t) {
    std::unique_lock<std::mutex> lk(mu);
    target = t;
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return n.load() >= t; });
  }
};

// A loopback TCP connection: `tx` connected, `rx` accepted, `ls` listening.
inline void RawTcpPair(int* tx, int* rx, int* ls) {
  *ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = nettest::Loopback(0);
  bind(*ls, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(*ls, 1);
  *tx = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = nettest::Loopback(nettest::LocalPort(*ls));
  connect(*tx, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  *rx = accept(*ls, nullptr, nullptr);
}

// A new-connection event: attaches `node` to the accepted socket. True when
// the event was one.
inline bool AttachAccepted(CAppNode* node, CTCPEvent* t) {
  if (!t->IsTcpNew()) return false;
  int child;
  std::memcpy(&child, t->GetBuffer(), sizeof(int));
  node->Frame()->AddTCPEvent(node, child, 0);
  return true;
}

}  // namespace benchutil

#endif  // ZEP_BENCH_BENCH_UTIL_H
