// The shared peer that drives every side, and the figures measured from it.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "peer_common.h"

namespace peer {

std::vector<double> TickLateness(const TickLog& log, int64_t periodNs, int64_t fromNs,
                                 int64_t toNs) {
  std::unordered_map<uint64_t, int64_t> last;
  std::vector<double> late;
  const size_t n = log.Size();
  for (size_t i = 0; i < n; ++i) {
    const TickLog::Tick& t = log.At(i);
    auto it = last.find(t.key);
    if (it != last.end() && t.ns >= fromNs && t.ns <= toNs)
      late.push_back(static_cast<double>(t.ns - it->second - periodNs) / 1e6);
    last[t.key] = t.ns;
  }
  return late;
}

double Quantile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  rank = std::min(std::max<size_t>(rank, 1), v.size());
  std::nth_element(v.begin(), v.begin() + static_cast<long>(rank - 1), v.end());
  return v[rank - 1];
}

namespace {

int ConnectLoopback(int port, int type) {
  int s = socket(AF_INET, type, 0);
  if (s < 0) return -1;
  sockaddr_in to = nettest::Loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    close(s);
    return -1;
  }
  if (type == SOCK_STREAM) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  return s;
}

// The message of trip `seq` on connection `conn`: both numbers, then a fill
// that changes with them, so a stale, shifted or mixed-up echo is seen.
void FillPing(char* msg, uint32_t conn, uint64_t seq) {
  std::memcpy(msg, &conn, sizeof(conn));
  std::memcpy(msg + 4, &seq, sizeof(seq));
  for (int i = 12; i < kPingBytes; ++i) msg[i] = static_cast<char>(seq * 31 + conn + i);
}

// CPU time of one thread (0 when it cannot be read).
int64_t ThreadCpuNs(pthread_t t) {
  clockid_t id;
  timespec ts{};
  if (pthread_getcpuclockid(t, &id) != 0 || clock_gettime(id, &ts) != 0) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool SendAll(int s, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(s, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// The ping-pong client: `conns` connections, one message in flight on each.
// One connection waits in a blocking recv; more wait in one epoll loop.
// Stop() shuts the connections, which ends either wait.
class PingPongPeer {
 public:
  ~PingPongPeer() { Stop(); }
  bool Start(int port, int conns) {
    for (int i = 0; i < conns; ++i) {
      int s = ConnectLoopback(port, SOCK_STREAM);
      if (s < 0) return false;
      m_Conns.push_back(Conn{s, 0, 0, {}, {}});
    }
    m_nStopFd = eventfd(0, EFD_CLOEXEC);
    m_Thread = std::thread([this] { ConnCount() == 1 ? RunOne() : RunMany(); });
    return true;
  }
  void Stop() {
    m_bStop.store(true);
    for (Conn& c : m_Conns) shutdown(c.fd, SHUT_RDWR);
    if (m_nStopFd >= 0) {
      uint64_t one = 1;
      ssize_t rc = write(m_nStopFd, &one, sizeof(one));
      (void)rc;
    }
    if (m_Thread.joinable()) m_Thread.join();
    for (Conn& c : m_Conns) close(c.fd);
    m_Conns.clear();
    if (m_nStopFd >= 0) close(m_nStopFd);
    m_nStopFd = -1;
  }
  uint64_t Trips() const { return m_nTrips.load(std::memory_order_relaxed); }
  int64_t CpuNs() { return ThreadCpuNs(m_Thread.native_handle()); }
  // An echo differed from its message, or a connection ended while running.
  bool Broken() const { return m_bBroken.load(); }

 private:
  struct Conn {
    int fd;
    uint64_t seq;
    int got;
    char out[kPingBytes];
    char in[kPingBytes];
  };
  size_t ConnCount() const { return m_Conns.size(); }
  bool Send(uint32_t i) {
    Conn& c = m_Conns[i];
    FillPing(c.out, i, c.seq);
    c.got = 0;
    return SendAll(c.fd, c.out, kPingBytes);
  }
  // Takes what the connection has; true while it runs (a whole echo was
  // checked and the next message sent, or more is to come).
  bool Receive(uint32_t i, bool wait) {
    Conn& c = m_Conns[i];
    ssize_t n =
        recv(c.fd, c.in + c.got, static_cast<size_t>(kPingBytes - c.got), wait ? 0 : MSG_DONTWAIT);
    if (n < 0 && !wait && errno == EAGAIN) return true;
    if (n <= 0) return Fail();
    c.got += static_cast<int>(n);
    if (c.got < kPingBytes) return true;
    if (std::memcmp(c.in, c.out, kPingBytes) != 0) return Fail();
    m_nTrips.fetch_add(1, std::memory_order_relaxed);
    ++c.seq;
    return Send(i) || Fail();
  }
  bool Fail() {
    if (!m_bStop.load()) m_bBroken.store(true);
    return false;
  }
  void RunOne() {
    if (!Send(0)) return void(Fail());
    while (!m_bStop.load(std::memory_order_relaxed) && Receive(0, true)) {
    }
  }
  void RunMany() {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = UINT32_MAX;
    epoll_ctl(ep, EPOLL_CTL_ADD, m_nStopFd, &ev);
    bool ok = true;
    for (uint32_t i = 0; i < ConnCount() && ok; ++i) {
      ev.data.u32 = i;
      epoll_ctl(ep, EPOLL_CTL_ADD, m_Conns[i].fd, &ev);
      ok = Send(i) || Fail();
    }
    epoll_event ready[64];
    while (ok && !m_bStop.load(std::memory_order_relaxed)) {
      int n = epoll_wait(ep, ready, 64, -1);
      for (int k = 0; k < n && ok; ++k) {
        if (ready[k].data.u32 == UINT32_MAX)
          ok = false;
        else
          ok = Receive(ready[k].data.u32, false);
      }
    }
    close(ep);
  }

  std::vector<Conn> m_Conns;
  int m_nStopFd = -1;
  std::thread m_Thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bBroken{false};
  std::atomic<uint64_t> m_nTrips{0};
};

// Writes 64 KiB blocks on one connection until stopped.
class StreamPeer {
 public:
  ~StreamPeer() { Stop(); }
  bool Start(int port) {
    m_nFd = ConnectLoopback(port, SOCK_STREAM);
    if (m_nFd < 0) return false;
    m_Thread = std::thread([this] {
      std::vector<char> block(64 * 1024, 's');
      while (!m_bStop.load(std::memory_order_relaxed)) {
        ssize_t k = send(m_nFd, block.data(), block.size(), MSG_NOSIGNAL);
        if (k <= 0) break;
        m_nSent.fetch_add(static_cast<uint64_t>(k), std::memory_order_relaxed);
      }
    });
    return true;
  }
  void Stop() {
    m_bStop.store(true);
    if (m_nFd >= 0) shutdown(m_nFd, SHUT_RDWR);  // ends a send the sink holds up
    if (m_Thread.joinable()) m_Thread.join();
    if (m_nFd >= 0) close(m_nFd);
    m_nFd = -1;
  }
  int64_t CpuNs() { return ThreadCpuNs(m_Thread.native_handle()); }
  // What the kernel took, all of which the sink gets (the connection is
  // shut, never reset): final once stopped.
  uint64_t Sent() const { return m_nSent.load(); }

 private:
  int m_nFd = -1;
  std::thread m_Thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<uint64_t> m_nSent{0};
};

// Destroys the side when a figure's function returns: before the counters
// and the log it fills, which are declared ahead of this guard.
struct StopAtEnd {
  std::unique_ptr<PeerSide>& side;
  ~StopAtEnd() { side.reset(); }
};

double Seconds(int64_t fromNs, int64_t toNs) { return static_cast<double>(toNs - fromNs) / 1e9; }

void SleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

int64_t ProcessCpuNs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto ns = [](const timeval& tv) {
    return static_cast<int64_t>(tv.tv_sec) * 1000000000 + static_cast<int64_t>(tv.tv_usec) * 1000;
  };
  return ns(ru.ru_utime) + ns(ru.ru_stime);
}

// What a window measured: units per second, and the CPU the side spent per
// unit (the process's CPU less the peer's thread) in microseconds.
struct Window {
  double rate = 0;
  double cpuUs = 0;
};

// Samples `count` and `peerCpu` at both ends of the window after the warm-up.
template <typename Count, typename PeerCpu>
Window Measure(const RunOptions& opt, Count count, PeerCpu peerCpu) {
  SleepSeconds(opt.warmupSeconds);
  const uint64_t n0 = count();
  const int64_t t0 = NowNs(), c0 = ProcessCpuNs(), p0 = peerCpu();
  SleepSeconds(opt.seconds);
  const uint64_t n1 = count();
  const int64_t t1 = NowNs(), c1 = ProcessCpuNs(), p1 = peerCpu();
  Window w;
  if (n1 == n0) return w;
  w.rate = static_cast<double>(n1 - n0) / Seconds(t0, t1);
  w.cpuUs = static_cast<double>((c1 - c0) - (p1 - p0)) / 1e3 / static_cast<double>(n1 - n0);
  return w;
}

int PingPong(std::unique_ptr<PeerSide>& side, int conns, const RunOptions& opt, Window* w,
             std::string* err) {
  StopAtEnd stop{side};
  const int port = side->StartEcho();
  if (port <= 0) return *err = "the echo side did not start", -1;
  PingPongPeer peer;
  if (!peer.Start(port, conns)) return *err = "cannot connect to the echo side", -1;
  *w = Measure(
      opt, [&] { return peer.Trips(); }, [&] { return peer.CpuNs(); });
  const bool broken = peer.Broken();
  peer.Stop();
  if (broken) return *err = "an echo differed from its message or a connection ended", -1;
  if (w->rate <= 0) return *err = "no round trip in the window", -1;
  return 0;
}

int Stream(std::unique_ptr<PeerSide>& side, const RunOptions& opt, Window* w, std::string* err) {
  std::atomic<uint64_t> bytes{0};
  StopAtEnd stop{side};
  const int port = side->StartStreamSink(&bytes);
  if (port <= 0) return *err = "the stream side did not start", -1;
  StreamPeer peer;
  if (!peer.Start(port)) return *err = "cannot connect to the stream side", -1;
  // Counted in bytes, shown per MB.
  *w = Measure(
      opt, [&] { return bytes.load(std::memory_order_relaxed); }, [&] { return peer.CpuNs(); });
  w->rate /= 1e6;
  w->cpuUs *= 1e6;
  peer.Stop();
  if (w->rate <= 0) return *err = "no byte in the window", -1;
  // Every byte counted once: a sink that loses or repeats reads is wrong.
  const uint64_t sent = peer.Sent();
  zeptest::WaitFor([&] { return bytes.load() >= sent; }, 5000);
  if (bytes.load() != sent)
    return *err = "the side counted " + std::to_string(bytes.load()) + " of " +
                  std::to_string(sent) + " bytes",
           -1;
  return 0;
}

int Udp(std::unique_ptr<PeerSide>& side, const RunOptions& opt, Window* w, std::string* err) {
  benchutil::Counter count;
  StopAtEnd stop{side};
  const int port = side->StartUdpSink(&count);
  if (port <= 0) return *err = "the datagram side did not start", -1;
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = nettest::Loopback(port);
  char buf[kDatagramBytes];
  std::memset(buf, 'u', sizeof(buf));
  uint64_t sent = 0;
  int64_t t0 = 0, c0 = 0, p0 = 0;
  uint64_t n0 = 0;
  // This thread is the peer.
  const pthread_t self = pthread_self();
  const int64_t start = NowNs();
  const int64_t warm = start + static_cast<int64_t>(opt.warmupSeconds * 1e9);
  const int64_t end = warm + static_cast<int64_t>(opt.seconds * 1e9);
  int64_t now = start;
  bool lost = false;
  // Counter::WaitFor with the run's own deadline.
  auto arrived = [&](uint64_t want) {
    std::unique_lock<std::mutex> lock(count.mu);
    count.target = want;
    return count.cv.wait_for(lock, std::chrono::milliseconds(opt.udpWaitMs),
                             [&] { return count.n.load() >= want; });
  };
  while (now < end) {
    for (int i = 0; i < kUdpWindow; ++i)
      sendto(tx, buf, sizeof(buf), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    sent += kUdpWindow;
    if (!arrived(sent)) {
      lost = true;
      break;
    }
    now = NowNs();
    if (t0 == 0 && now >= warm) {
      t0 = now;
      n0 = sent;
      c0 = ProcessCpuNs();
      p0 = ThreadCpuNs(self);
    }
  }
  const int64_t c1 = ProcessCpuNs(), p1 = ThreadCpuNs(self);
  close(tx);
  if (lost) return *err = "datagrams lost", -1;
  if (count.n.load() != sent)
    return *err = "the side counted " + std::to_string(count.n.load()) + " of " +
                  std::to_string(sent) + " datagrams",
           -1;
  if (t0 == 0 || sent == n0) return *err = "no window measured", -1;
  w->rate = static_cast<double>(sent - n0) / Seconds(t0, now);
  w->cpuUs = static_cast<double>((c1 - c0) - (p1 - p0)) / 1e3 / static_cast<double>(sent - n0);
  return 0;
}

int Timers(std::unique_ptr<PeerSide>& side, const RunOptions& opt, std::vector<Figure>* out,
           std::string* err) {
  const int64_t period = static_cast<int64_t>(opt.periodMs) * 1000000;
  TickLog log(static_cast<size_t>(opt.timers) * static_cast<size_t>(opt.timerPeriods + 4));
  StopAtEnd stop{side};
  if (side->StartTimers(opt.timers, opt.periodMs, &log) != 0)
    return *err = "the timers did not start", -1;
  // One period more and every timer has ticked once: the window is steady.
  SleepSeconds(static_cast<double>(period) / 1e9 + 0.1);
  const int64_t c0 = ProcessCpuNs(), t0 = NowNs();
  SleepSeconds(static_cast<double>(period * opt.timerPeriods) / 1e9);
  const int64_t c1 = ProcessCpuNs(), t1 = NowNs();
  std::vector<double> late = TickLateness(log, period, t0, t1);
  // Every timer should tick once per period of the window; far fewer means
  // ticks were lost or held back, which the percentiles would hide.
  const double expected = static_cast<double>(opt.timers) * opt.timerPeriods;
  if (static_cast<double>(late.size()) < 0.5 * expected)
    return *err = "only " + std::to_string(late.size()) + " ticks of " +
                  std::to_string(static_cast<long>(expected)) + " in the window",
           -1;
  out->push_back({"timers_cpu", static_cast<double>(c1 - c0) / 1e6 / Seconds(t0, t1), "ms-cpu/s"});
  out->push_back({"timers_p50", Quantile(late, 0.50), "ms"});
  out->push_back({"timers_p99", Quantile(late, 0.99), "ms"});
  return 0;
}

int Hop(std::unique_ptr<PeerSide>& side, const RunOptions& opt, double* rate, std::string* err) {
  std::atomic<uint64_t> trips{0};
  StopAtEnd stop{side};
  if (side->StartHop(&trips) != 0) return *err = "the hand-off did not start", -1;
  *rate = Measure(
              opt, [&] { return trips.load(std::memory_order_relaxed); }, [] { return 0; })
              .rate;
  if (*rate <= 0) return *err = "no hand-off in the window", -1;
  return 0;
}

}  // namespace

const std::vector<std::string>& FigureNames() {
  static const std::vector<std::string> names = {
      "pingpong_1conn", "pingpong_16conn", "stream", "udp", "timers", "hop"};
  return names;
}

int RunFigure(const std::string& name, std::unique_ptr<PeerSide> side, const RunOptions& opt,
              std::vector<Figure>* out, std::string* err) {
  Window w;
  const char* unit = nullptr;
  const char* cpuUnit = nullptr;
  int rc;
  if (name == "pingpong_1conn" || name == "pingpong_16conn") {
    rc = PingPong(side, name == "pingpong_1conn" ? 1 : 16, opt, &w, err);
    unit = "round-trips/s";
    cpuUnit = "us-cpu/round-trip";
  } else if (name == "stream") {
    rc = Stream(side, opt, &w, err);
    unit = "MB/s";
    cpuUnit = "us-cpu/MB";
  } else if (name == "udp") {
    rc = Udp(side, opt, &w, err);
    unit = "datagrams/s";
    cpuUnit = "us-cpu/datagram";
  } else if (name == "timers") {
    return Timers(side, opt, out, err);
  } else if (name == "hop") {
    rc = Hop(side, opt, &w.rate, err);
    unit = "round-trips/s";
  } else {
    *err = "no figure " + name;
    return -1;
  }
  if (rc != 0) return rc;
  out->push_back({name, w.rate, unit});
  if (cpuUnit != nullptr) out->push_back({name + "_cpu", w.cpuUs, cpuUnit});
  return 0;
}

std::unique_ptr<PeerSide> MakeSide(const std::string& name, bool* missing) {
  *missing = false;
  if (name == "framework") return MakeFrameSide();
  if (name == "framepoll") return MakeFramePollSide();
  if (name == "raw") return MakeRawSide();
  if (name == "rawhop") return MakeRawHopSide();
  if (name == "libuv") {
    std::unique_ptr<PeerSide> s = MakeUvSide();
    *missing = s == nullptr;
    return s;
  }
  return nullptr;
}

}  // namespace peer
