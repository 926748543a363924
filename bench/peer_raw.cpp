// The plain sides: what a program without an event library would write.
// The echo is one epoll loop over every connection (level-triggered, one
// read per readiness, as an event library does); the stream and datagram
// sinks are blocking reads on a thread of their own; the timers a binary
// heap under epoll_wait(); the hop a mutex and a condition variable. The rawhop
// side is the echo with the socket-thread engine's shape: a blocking reader
// thread per connection hands each read through a mutex-and-condition-
// variable queue to one writer thread.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <queue>
#include <thread>

#include "peer_common.h"

namespace peer {
namespace {

// A socket of `type` bound to 127.0.0.1 on a free port (listening for TCP).
int BoundLoopback(int type) {
  int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_in a = nettest::Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      (type == SOCK_STREAM && listen(s, 64) != 0)) {
    close(s);
    return -1;
  }
  return s;
}

bool WriteAll(int s, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(s, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EAGAIN) {
      pollfd w{s, POLLOUT, 0};
      poll(&w, 1, 1000);
      continue;
    }
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

void Kick(int efd) {
  uint64_t one = 1;
  ssize_t rc = write(efd, &one, sizeof(one));
  (void)rc;
}

// Threads of a side, stopped by a stop descriptor (an eventfd the loops
// watch), by shutting the sockets the blocking reads wait on, and by a flag.
// Each derived side calls Stop() in its destructor: its threads use its
// members, which are gone by the time this destructor runs.
class RawBase : public PeerSide {
 public:
  ~RawBase() override { Stop(); }

 protected:
  void Stop() {
    if (m_nStopFd < 0) return;
    m_bStop.store(true);
    Kick(m_nStopFd);
    {
      // A thread adds threads and sockets under this lock, threads only
      // while not stopping: after it m_Threads is final, and a socket added
      // later its thread shuts itself.
      std::lock_guard<std::mutex> lock(m_HopMutex);
      for (int s : m_Shut) shutdown(s, SHUT_RDWR);
      m_HopCond.notify_all();
    }
    for (std::thread& t : m_Threads) t.join();
    for (int s : m_Close) close(s);
    m_Threads.clear();
    m_Close.clear();
    close(m_nStopFd);
    m_nStopFd = -1;
  }

  int m_nStopFd = eventfd(0, EFD_CLOEXEC);
  std::atomic<bool> m_bStop{false};
  // Added to by the runner, or by a side's thread under m_HopMutex.
  std::vector<std::thread> m_Threads;
  std::vector<int> m_Shut;   // shut down before the join
  std::vector<int> m_Close;  // closed after it
  std::mutex m_HopMutex;
  std::condition_variable m_HopCond;
};

class RawSide : public RawBase {
 public:
  ~RawSide() override { Stop(); }
  int StartEcho() override {
    int ls = BoundLoopback(SOCK_STREAM);
    if (ls < 0) return -1;
    m_Close.push_back(ls);
    m_Threads.emplace_back([this, ls] { EchoLoop(ls); });
    return nettest::LocalPort(ls);
  }

  int StartStreamSink(std::atomic<uint64_t>* bytes) override {
    int ls = BoundLoopback(SOCK_STREAM);
    if (ls < 0) return -1;
    m_Shut.push_back(ls);
    m_Close.push_back(ls);
    m_Threads.emplace_back([this, ls, bytes] {
      int s = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0) return;
      {
        std::lock_guard<std::mutex> lock(m_HopMutex);
        if (m_bStop.load()) shutdown(s, SHUT_RDWR);
        m_Shut.push_back(s);
        m_Close.push_back(s);
      }
      char buf[kReadBytes];
      ssize_t n;
      while ((n = read(s, buf, sizeof(buf))) > 0)
        bytes->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    });
    return nettest::LocalPort(ls);
  }

  int StartUdpSink(benchutil::Counter* count) override {
    int s = BoundLoopback(SOCK_DGRAM);
    if (s < 0) return -1;
    m_Shut.push_back(s);  // wakes the recv (no datagram is 0 bytes here)
    m_Close.push_back(s);
    m_Threads.emplace_back([s, count] {
      char buf[4096];
      while (recv(s, buf, sizeof(buf), 0) > 0) count->Add(1);
    });
    return nettest::LocalPort(s);
  }

  int StartTimers(int count, int periodMs, TickLog* log) override {
    if (count <= 0 || periodMs <= 0) return -1;
    m_Threads.emplace_back([this, count, periodMs, log] { TimerLoop(count, periodMs, log); });
    return 0;
  }

  int StartHop(std::atomic<uint64_t>* trips) override {
    // m_nTurn: whose move it is (0 or 1); each thread waits for its own.
    for (int me = 0; me < 2; ++me) {
      m_Threads.emplace_back([this, me, trips] {
        std::unique_lock<std::mutex> lock(m_HopMutex);
        for (;;) {
          m_HopCond.wait(lock, [&] { return m_bStop.load() || m_nTurn == me; });
          if (m_bStop.load()) return;
          if (me == 0) trips->fetch_add(1, std::memory_order_relaxed);
          m_nTurn = 1 - me;
          m_HopCond.notify_all();
        }
      });
    }
    return 0;
  }

 private:
  void EchoLoop(int ls) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_nStopFd;
    epoll_ctl(ep, EPOLL_CTL_ADD, m_nStopFd, &ev);
    ev.data.fd = ls;
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
    std::vector<int> conns;
    char buf[kReadBytes];
    epoll_event ready[64];
    while (!m_bStop.load(std::memory_order_relaxed)) {
      int n = epoll_wait(ep, ready, 64, -1);
      for (int k = 0; k < n; ++k) {
        const int fd = ready[k].data.fd;
        if (fd == m_nStopFd) continue;
        if (fd == ls) {
          int s = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (s < 0) continue;
          ev.data.fd = s;
          epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
          conns.push_back(s);
          continue;
        }
        ssize_t got = read(fd, buf, sizeof(buf));
        if (got > 0 && WriteAll(fd, buf, static_cast<size_t>(got))) continue;
        if (got < 0 && errno == EAGAIN) continue;
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
      }
    }
    for (int s : conns) close(s);
    close(ep);
  }

  void TimerLoop(int count, int periodMs, TickLog* log) {
    using Due = std::pair<int64_t, uint32_t>;  // due ns, timer
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> heap;
    const int64_t period = static_cast<int64_t>(periodMs) * 1000000;
    const int64_t start = NowNs();
    for (int i = 0; i < count; ++i)
      heap.push({start + period + period * i / count, static_cast<uint32_t>(i)});
    // Whole milliseconds, rounded up, as epoll_wait takes them: timers due
    // within the same millisecond share a wake-up.
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, m_nStopFd, &ev);
    while (!m_bStop.load(std::memory_order_relaxed)) {
      int64_t wait = heap.top().first - NowNs();
      if (wait > 0) {
        epoll_wait(ep, &ev, 1, static_cast<int>((wait + 999999) / 1000000));
        continue;
      }
      // Every due timer, each re-armed one period after it was delivered.
      while (!heap.empty() && heap.top().first <= NowNs()) {
        const uint32_t id = heap.top().second;
        heap.pop();
        const int64_t at = NowNs();
        log->Add(id, at);
        heap.push({at + period, id});
      }
    }
    close(ep);
  }

  int m_nTurn = 0;  // guarded by m_HopMutex
};

// The echo with a hand-off per read: reader threads -> a queue -> one writer.
class RawHopSide : public RawBase {
 public:
  ~RawHopSide() override { Stop(); }
  int StartEcho() override {
    int ls = BoundLoopback(SOCK_STREAM);
    if (ls < 0) return -1;
    m_Shut.push_back(ls);
    m_Close.push_back(ls);
    m_Threads.emplace_back([this] { Writer(); });
    m_Threads.emplace_back([this, ls] { Acceptor(ls); });
    return nettest::LocalPort(ls);
  }
  int StartStreamSink(std::atomic<uint64_t>*) override { return Unsupported(); }
  int StartUdpSink(benchutil::Counter*) override { return Unsupported(); }
  int StartTimers(int, int, TickLog*) override { return Unsupported(); }
  int StartHop(std::atomic<uint64_t>*) override { return Unsupported(); }

 private:
  struct Read {
    int fd;
    int len;
    char data[kReadBytes];
  };
  static int Unsupported() {
    std::cerr << "the rawhop side only echoes\n";
    return -1;
  }
  void Acceptor(int ls) {
    for (;;) {
      int s = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0) return;
      std::lock_guard<std::mutex> lock(m_HopMutex);
      if (m_bStop.load()) {
        close(s);
        return;
      }
      m_Shut.push_back(s);
      m_Close.push_back(s);
      m_Threads.emplace_back([this, s] { Reader(s); });
    }
  }
  void Reader(int s) {
    for (;;) {
      std::unique_ptr<Read> r(new Read);
      ssize_t n = read(s, r->data, sizeof(r->data));
      if (n <= 0) return;
      r->fd = s;
      r->len = static_cast<int>(n);
      std::lock_guard<std::mutex> lock(m_HopMutex);
      m_Queue.push_back(std::move(r));
      m_HopCond.notify_one();
    }
  }
  void Writer() {
    std::unique_lock<std::mutex> lock(m_HopMutex);
    for (;;) {
      m_HopCond.wait(lock, [&] { return m_bStop.load() || !m_Queue.empty(); });
      if (m_Queue.empty()) return;
      std::unique_ptr<Read> r = std::move(m_Queue.front());
      m_Queue.pop_front();
      lock.unlock();
      WriteAll(r->fd, r->data, static_cast<size_t>(r->len));
      lock.lock();
    }
  }

  std::deque<std::unique_ptr<Read>> m_Queue;  // guarded by m_HopMutex
};

}  // namespace

std::unique_ptr<PeerSide> MakeRawSide() { return std::unique_ptr<PeerSide>(new RawSide); }
std::unique_ptr<PeerSide> MakeRawHopSide() { return std::unique_ptr<PeerSide>(new RawHopSide); }

}  // namespace peer
