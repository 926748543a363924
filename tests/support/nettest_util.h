// nettest_util.h — loopback helpers shared by the socket tests.
#ifndef ZEP_TESTS_SUPPORT_NETTEST_UTIL_H
#define ZEP_TESTS_SUPPORT_NETTEST_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "waitfor.h"

namespace nettest {

using Clock = std::chrono::steady_clock;

using zeptest::WaitFor;

inline sockaddr_in Loopback(int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

inline int LocalPort(int s) {
  sockaddr_in a;
  socklen_t len = sizeof(a);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

// A plain UDP socket bound to 127.0.0.1 on an ephemeral port.
inline int BoundUdp() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// A plain TCP listener on 127.0.0.1 (ephemeral port).
inline int PlainListener() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 16) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// A plain TCP connection to 127.0.0.1:port.
inline int PlainConnect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// A UDP port on 127.0.0.1 that nobody listens on (bound, then closed).
inline int ClosedUdpPort() {
  int s = BoundUdp();
  int port = LocalPort(s);
  close(s);
  return port;
}

inline std::string Pattern(size_t n, int seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed)) % 26);
  return s;
}

// Every descriptor is taken: the soft RLIMIT_NOFILE is lowered to `spare`
// above the lowest free number and the rest filled with copies of standard
// input, until Release (or the end of the scope) closes them and restores
// the limit. `ok` is false when the limit could not be read or lowered.
class DescriptorsTaken {
 public:
  explicit DescriptorsTaken(int spare) {
    if (getrlimit(RLIMIT_NOFILE, &m_Saved) != 0) return;
    int top = dup(0);
    if (top < 0) return;
    close(top);
    rlimit low = m_Saved;
    low.rlim_cur = static_cast<rlim_t>(top + spare);
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return;
    m_bLowered = true;
    for (int fd; (fd = dup(0)) >= 0;) m_Fillers.push_back(fd);
    ok = true;
  }
  ~DescriptorsTaken() { Release(); }
  DescriptorsTaken(const DescriptorsTaken&) = delete;
  DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;
  void Release() {
    for (int fd : m_Fillers) close(fd);
    m_Fillers.clear();
    if (m_bLowered) setrlimit(RLIMIT_NOFILE, &m_Saved);
    m_bLowered = false;
  }
  bool ok = false;

 private:
  rlimit m_Saved{};
  bool m_bLowered = false;
  std::vector<int> m_Fillers;
};

}  // namespace nettest

#endif  // ZEP_TESTS_SUPPORT_NETTEST_UTIL_H
