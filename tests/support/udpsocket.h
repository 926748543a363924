// udpsocket.h — real UDP sockets on 127.0.0.1 for tests that play a server
// (UdpPort: bound to a port the kernel chose) or a client (UdpLink: connected
// to a port), and the kernel's view of what waits in a port's queue.
//
// Threads: a socket object belongs to the thread that made it; no locks.
#ifndef ZEP_TESTS_SUPPORT_UDPSOCKET_H
#define ZEP_TESTS_SUPPORT_UDPSOCKET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace zeptest {

// One UDP socket bound to 127.0.0.1 on an ephemeral port.
class UdpPort {
 public:
  UdpPort() {
    m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_Fd < 0 || bind(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(m_Fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;  // port 0: nothing will reach it, and the test says so
    m_nPort = ntohs(a.sin_port);
  }
  ~UdpPort() {
    if (m_Fd >= 0) close(m_Fd);
  }
  UdpPort(const UdpPort&) = delete;
  UdpPort& operator=(const UdpPort&) = delete;

  int port() const { return m_nPort; }
  int fd() const { return m_Fd; }
  // One datagram within `ms`; false on time-out.
  bool Recv(std::string& data, sockaddr_in& from, int ms) {
    pollfd p{m_Fd, POLLIN, 0};
    if (m_Fd < 0 || poll(&p, 1, ms) <= 0) return false;
    std::vector<char> buf(65536);
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(m_Fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    data.assign(buf.data(), static_cast<size_t>(n));
    return true;
  }
  void SendTo(const sockaddr_in& to, const std::string& data) {
    sendto(m_Fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

 private:
  int m_Fd = -1;
  int m_nPort = 0;
};

inline int SourcePort(const sockaddr_in& a) { return ntohs(a.sin_port); }

// A UDP socket connected to 127.0.0.1:port, like the client's links.
class UdpLink {
 public:
  explicit UdpLink(uint16_t port) {
    m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_Fd >= 0 && connect(m_Fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
      close(m_Fd);
      m_Fd = -1;
    }
  }
  ~UdpLink() {
    if (m_Fd >= 0) close(m_Fd);
  }
  UdpLink(const UdpLink&) = delete;
  UdpLink& operator=(const UdpLink&) = delete;

  bool Send(const std::string& bytes) const {
    return m_Fd >= 0 &&
           send(m_Fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }
  // One datagram, or false after `ms` without one.
  bool Recv(std::string& bytes, int ms = 3000) const {
    pollfd p = {m_Fd, POLLIN, 0};
    if (m_Fd < 0 || poll(&p, 1, ms) != 1) return false;
    std::vector<char> buf(65536);
    ssize_t n = recv(m_Fd, buf.data(), buf.size(), 0);
    if (n < 0) return false;
    bytes.assign(buf.data(), static_cast<size_t>(n));
    return true;
  }
  uint16_t LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (m_Fd < 0 || getsockname(m_Fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
  }

 private:
  int m_Fd = -1;
};

// Bytes still waiting in the receive queues of this host's UDP sockets bound
// to `port` (from /proc/net/udp). A flood fills the queue of a slow reader and
// the kernel drops what comes after, so a test that floods a socket waits for
// this to reach 0 before sending a datagram that must arrive.
inline long UdpBytesQueued(int port) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);  // header
  long total = 0;
  while (std::getline(in, line)) {
    unsigned local_ip = 0, local_port = 0, remote_ip = 0, remote_port = 0, st = 0;
    unsigned long tx = 0, rx = 0;
    if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &local_ip, &local_port,
                    &remote_ip, &remote_port, &st, &tx, &rx) == 7 &&
        static_cast<int>(local_port) == port) {
      total += static_cast<long>(rx);
    }
  }
  return total;
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_UDPSOCKET_H
