// notifylistener.h — the service manager's end of a notify socket, for
// tests: a datagram socket of the test bound to a path or, for "@name", to
// an abstract name. Every datagram carries the kernel's arrival stamp. One
// thread uses a listener; it takes no locks.
#ifndef ZEP_TESTS_SUPPORT_NOTIFYLISTENER_H
#define ZEP_TESTS_SUPPORT_NOTIFYLISTENER_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>

namespace zeptest {

// Asks the kernel to stamp each datagram `fd` receives (SO_TIMESTAMPNS).
// For AF_UNIX and loopback UDP the stamp is taken inside the sender's send
// call, so two datagrams one process sent are stamped in the order it sent
// them.
inline void StampArrivals(int fd) {
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

// One datagram from `fd` within `ms`, and its stamp ({} without one); false
// after `ms`.
inline bool RecvStamped(int fd, int ms, std::string& data, timespec& stamp) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  char buf[4096];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  iovec iov{buf, sizeof buf};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd, &msg, 0);
  if (n < 0) return false;
  data.assign(buf, static_cast<size_t>(n));
  stamp = timespec{};
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
  }
  return true;
}

inline bool Earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

class NotifyListener {
 public:
  explicit NotifyListener(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    StampArrivals(fd_);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof a.sun_path) return;
    std::memcpy(a.sun_path, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@')
      a.sun_path[0] = '\0';  // abstract: the length ends the name
    else
      ++len;
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0;
  }
  ~NotifyListener() { close(fd_); }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;
  bool Bound() const { return bound_; }
  const std::string& Name() const { return name_; }
  std::string Env() const { return "NOTIFY_SOCKET=" + name_; }
  // The next datagram within `ms` ("" after it), and its arrival.
  std::string Next(int ms = 5000, timespec* at = nullptr) {
    std::string m;
    timespec stamp{};
    if (!RecvStamped(fd_, ms, m, stamp)) return "";
    if (at != nullptr) *at = stamp;
    return m;
  }
  // The next datagram other than a watchdog ping, within `ms` in all.
  std::string NextNotPing(int ms = 5000) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      std::string m = Next(left > 0 ? static_cast<int>(left) : 0);
      if (m != "WATCHDOG=1") return m;
    }
  }
  // Forgets everything queued now.
  void Drain() {
    while (!Next(0).empty()) {
    }
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_NOTIFYLISTENER_H
