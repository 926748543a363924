// peer_common.h — the same network and timer work done three ways: through
// the framework (ZEPFrame with the socket-thread engine, as dyrclient runs
// it, or, as the "framepoll" side, in its polling configuration: one service
// thread polls every socket), through libuv, and through a plain loop (epoll, poll and blocking
// sockets). A side (PeerSide) does one kind of work; a peer that every side
// shares drives it, so the figures differ only in the side.
//
//   pingpong_1conn, pingpong_16conn  a TCP echo side; the peer keeps one
//       64-byte message in flight per connection and checks every echo.
//   stream   a TCP sink side reading 1024 bytes at a time (the framework's
//       default read size); the peer writes 64 KiB blocks.
//   udp      a UDP sink side; the peer sends 512-byte datagrams in windows
//       of 50, each waited for (below the framework's 100-event high-water
//       mark, so nothing is paused or dropped).
//   timers   the side runs repeating timers whose first due times are
//       spread over one period; CPU of the process per second and the
//       lateness of each tick (arrival - previous arrival - period, the way
//       the framework measures periods) over a steady window.
//   hop      the side hands one token back and forth between two threads
//       (frame nodes, libuv loops, a mutex and condition variable): the
//       cost of the thread hop the socket-thread engine pays per read.
// The "rawhop" side is the plain echo with that hop added: a blocking
// reader thread per connection hands each read to one writer thread.
//
// Threads: a side runs its work on threads of its own and stops it in its
// destructor; Start... and the destructor are called by one thread at a
// time (the runner). Counters a side raises are atomics the runner reads
// while the work runs; a TickLog has one writer, and its readers see what
// that writer published. RunFigure checks the work too: every echo against
// its message, every byte and datagram counted once, every timer ticking.
#ifndef ZEP_BENCH_PEER_COMMON_H
#define ZEP_BENCH_PEER_COMMON_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"

namespace peer {

constexpr int kPingBytes = 64;
constexpr int kReadBytes = 1024;
constexpr int kDatagramBytes = 512;
constexpr int kUdpWindow = 50;

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Arrivals of timer ticks: one writer (the side's timer thread) adds while
// the work runs; Size() and At() see what was added before the writer's last
// release, so a reader may look at any time. Full, it drops further ticks.
class TickLog {
 public:
  struct Tick {
    uint64_t key;  // which timer (the side's own name for it)
    int64_t ns;    // NowNs() at delivery
  };
  explicit TickLog(size_t capacity) : m_Ticks(capacity) {}
  void Add(uint64_t key, int64_t ns) {
    const size_t n = m_nSize.load(std::memory_order_relaxed);
    if (n == m_Ticks.size()) return;
    m_Ticks[n] = Tick{key, ns};
    m_nSize.store(n + 1, std::memory_order_release);
  }
  size_t Size() const { return m_nSize.load(std::memory_order_acquire); }
  const Tick& At(size_t i) const { return m_Ticks[i]; }

 private:
  std::vector<Tick> m_Ticks;
  std::atomic<size_t> m_nSize{0};
};

// Lateness in ms of every tick that arrived within [fromNs, toNs] and has an
// earlier tick of the same timer in the log: arrival - earlier - period.
std::vector<double> TickLateness(const TickLog& log, int64_t periodNs, int64_t fromNs,
                                 int64_t toNs);
// The p-quantile (0..1) of `v` by the nearest-rank rule; 0 for an empty set.
double Quantile(std::vector<double> v, double p);

// One implementation of the work. Each Start... brings up one kind of work
// (call one of them once per side); -1 when the side cannot (the message
// goes to stderr). Ports are TCP or UDP ports on 127.0.0.1.
class PeerSide {
 public:
  virtual ~PeerSide() = default;
  // Echoes every byte it reads on each accepted connection.
  virtual int StartEcho() = 0;
  // Reads kReadBytes at a time from one accepted connection, adding what it
  // read to *bytes.
  virtual int StartStreamSink(std::atomic<uint64_t>* bytes) = 0;
  // Adds 1 to *count for each datagram it receives.
  virtual int StartUdpSink(benchutil::Counter* count) = 0;
  // `count` timers of `periodMs`, repeating, the first due times spread
  // over one period; every tick goes to *log. 0 once all are running.
  virtual int StartTimers(int count, int periodMs, TickLog* log) = 0;
  // Two threads pass one token back and forth; *trips counts round trips.
  virtual int StartHop(std::atomic<uint64_t>* trips) = 0;
};

std::unique_ptr<PeerSide> MakeFrameSide();
std::unique_ptr<PeerSide> MakeFramePollSide();
std::unique_ptr<PeerSide> MakeRawSide();
std::unique_ptr<PeerSide> MakeRawHopSide();
// Null when the benchmarks were built without libuv.
std::unique_ptr<PeerSide> MakeUvSide();
// "framework", "framepoll", "libuv", "raw", "rawhop"; null for another name or libuv
// missing (*missing set then).
std::unique_ptr<PeerSide> MakeSide(const std::string& name, bool* missing);

struct RunOptions {
  double seconds = 1.5;  // the measured window of a rate
  double warmupSeconds = 0.2;
  int timers = 10000;
  int periodMs = 1000;
  int timerPeriods = 2;   // the timers' window, in periods
  int udpWaitMs = 20000;  // for one window of datagrams; past it they were lost
};

struct Figure {
  std::string name;
  double value;
  std::string unit;
};

// The figure names RunFigure knows, in the order the script runs them.
const std::vector<std::string>& FigureNames();
// Runs one figure of `side` ("pingpong_1conn", ... "timers" gives three
// figures: timers_cpu, timers_p50, timers_p99) and destroys the side before
// it returns (its threads count into the run's own counters). 0 with the
// figures appended to *out, or -1 with the reason in *err (a lost datagram,
// an echo that differs from what was sent, a side that could not start).
int RunFigure(const std::string& name, std::unique_ptr<PeerSide> side, const RunOptions& opt,
              std::vector<Figure>* out, std::string* err);

}  // namespace peer

#endif  // ZEP_BENCH_PEER_COMMON_H
