// telnetpeer.h — the administrator's end of a console connection in tests:
// a plain loopback TCP socket with bounded waits for what the console sends.
#ifndef ZEP_TESTS_SUPPORT_TELNETPEER_H
#define ZEP_TESTS_SUPPORT_TELNETPEER_H

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/nettest_util.h"

namespace telnettest {

using Clock = std::chrono::steady_clock;

struct Peer {
  int fd = -1;
  std::string got;  // everything received so far
  explicit Peer(int port) : fd(nettest::PlainConnect(port)) {}
  ~Peer() {
    if (fd >= 0) close(fd);
  }
  void Write(const std::string& s) {
    ASSERT_EQ(static_cast<ssize_t>(s.size()), write(fd, s.data(), s.size()));
  }
  // Reads until `what` has arrived (after `from`) or `ms` pass.
  bool WaitFor(const std::string& what, int ms = 10000, size_t from = 0) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (got.find(what, from) == std::string::npos) {
      if (Clock::now() >= end || !ReadSome(20)) return got.find(what, from) != std::string::npos;
    }
    return true;
  }
  // False once the other end closed.
  bool ReadSome(int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return true;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
    return true;
  }
  // True when the other end closed within `ms`.
  bool WaitClosed(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end)
      if (!ReadSome(20)) return true;
    return false;
  }
  // Nothing more arrives within `ms`.
  bool Quiet(int ms) {
    size_t before = got.size();
    ReadSome(ms);
    return got.size() == before;
  }
  bool Login(const std::string& password = "s3cret") {
    if (!WaitFor("Password:")) return false;
    Write(password + "\r\n");
    return WaitFor("\r\nADMIN>");
  }
};

}  // namespace telnettest

#endif  // ZEP_TESTS_SUPPORT_TELNETPEER_H
