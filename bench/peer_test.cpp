// The peer benchmark's own checks: the statistics it prints, that the shared
// peer notices an echo that is wrong, and that every side starts, does each
// kind of work and stops. Nothing here asserts a speed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "../bench/peer_common.h"

namespace {

using peer::TickLog;

TEST(PeerStats, QuantileAndLateness) {
  // Nearest rank: the smallest value with at least p of the set at or below.
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const struct {
    std::vector<double> v;
    double p, want;
  } quantiles[] = {
      {hundred, 0.50, 50}, {hundred, 0.99, 99}, {hundred, 1.0, 100},
      {hundred, 0.0, 1},   {{7}, 0.99, 7},      {{}, 0.5, 0},
  };
  for (const auto& q : quantiles) EXPECT_EQ(peer::Quantile(q.v, q.p), q.want) << q.p;

  // Two timers of 1000 ns: a timer's first tick has no earlier one; ticks
  // outside the window count only as the earlier tick of the next.
  TickLog log(16);
  const int64_t ticks[][2] = {{1, 100}, {2, 150}, {1, 1100}, {2, 1190}, {1, 2150}, {2, 2180}};
  for (const auto& t : ticks) log.Add(static_cast<uint64_t>(t[0]), t[1]);
  std::vector<double> late = peer::TickLateness(log, 1000, 1100, 2160);
  ASSERT_EQ(late.size(), 3u);
  EXPECT_DOUBLE_EQ(late[0], 0.0);    // 1100 - 100 - 1000
  EXPECT_DOUBLE_EQ(late[1], 40e-6);  // 1190 - 150 - 1000, in ms
  EXPECT_DOUBLE_EQ(late[2], 50e-6);  // 2150 - 1100 - 1000
  EXPECT_EQ(peer::TickLateness(log, 1000, 0, 99).size(), 0u);

  TickLog full(2);
  for (int i = 0; i < 5; ++i) full.Add(1, i);
  EXPECT_EQ(full.Size(), 2u);
}

peer::RunOptions Brief() {
  peer::RunOptions opt;
  opt.seconds = 0.1;
  opt.warmupSeconds = 0.05;
  opt.timers = 200;
  opt.periodMs = 100;
  opt.udpWaitMs = 500;
  return opt;
}

// A side whose work goes wrong in one way: what the shared peer must catch
// (or, for a split echo, must put together again). The echo serves one
// connection on a plain thread.
enum class Fault {
  kFlipByte,
  kSplitEcho,
  kHangUp,
  kHalfTheDatagrams,
  kTwiceEachDatagram,
  kTwiceSomeBytes,
  kQuarterOfTheTimers
};

class FaultySide : public peer::PeerSide {
 public:
  explicit FaultySide(Fault f) : m_Fault(f) {}
  ~FaultySide() override {
    if (m_nSock >= 0) shutdown(m_nSock, SHUT_RDWR);
    if (m_Thread.joinable()) m_Thread.join();
    if (m_nSock >= 0) close(m_nSock);
  }
  int StartEcho() override {
    m_nSock = Listener();
    m_Thread = std::thread([this] { Echo(); });
    return nettest::LocalPort(m_nSock);
  }
  int StartStreamSink(std::atomic<uint64_t>* bytes) override {
    // Counts its first read twice.
    m_nSock = Listener();
    m_Thread = std::thread([this, bytes] {
      int s = accept(m_nSock, nullptr, nullptr);
      if (s < 0) return;
      char buf[peer::kReadBytes];
      ssize_t n;
      for (long i = 0; (n = read(s, buf, sizeof(buf))) > 0; ++i)
        bytes->fetch_add(static_cast<uint64_t>(i == 0 ? 2 * n : n));
      close(s);
    });
    return nettest::LocalPort(m_nSock);
  }
  int StartUdpSink(benchutil::Counter* count) override {
    // Counts every other datagram (the peer's window never fills), or each
    // one twice.
    m_nSock = nettest::BoundUdp();
    m_Thread = std::thread([this, count] {
      char buf[4096];
      for (long i = 0; recv(m_nSock, buf, sizeof(buf), 0) > 0; ++i) {
        if (m_Fault == Fault::kTwiceEachDatagram)
          count->Add(2);
        else if (i % 2 == 0)
          count->Add(1);
      }
    });
    return nettest::LocalPort(m_nSock);
  }
  int StartTimers(int count, int periodMs, TickLog* log) override {
    m_pRaw = peer::MakeRawSide();
    return m_pRaw->StartTimers(count / 4, periodMs, log);
  }
  int StartHop(std::atomic<uint64_t>*) override { return -1; }

 private:
  static int Listener() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = nettest::Loopback(0);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(s, 4);
    return s;
  }
  void Echo() {
    // Ends when the peer hangs up (the run is over) or the listener is shut.
    int s = accept(m_nSock, nullptr, nullptr);
    if (s < 0) return;
    char buf[peer::kPingBytes];
    ssize_t n;
    for (int msg = 0; (n = read(s, buf, sizeof(buf))) > 0; ++msg) {
      if (m_Fault == Fault::kHangUp && msg == 3) break;
      if (m_Fault == Fault::kFlipByte) buf[n - 1] ^= 1;
      const ssize_t first = m_Fault == Fault::kSplitEcho && n > 10 ? 10 : n;
      if (send(s, buf, static_cast<size_t>(first), MSG_NOSIGNAL) != first) break;
      if (first == n) continue;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (send(s, buf + first, static_cast<size_t>(n - first), MSG_NOSIGNAL) != n - first) break;
    }
    close(s);
  }
  Fault m_Fault;
  int m_nSock = -1;  // the echo's listener or the datagram socket
  std::thread m_Thread;
  std::unique_ptr<peer::PeerSide> m_pRaw;
};

TEST(PeerStats, ThePeerCatchesWrongWork) {
  const struct {
    Fault fault;
    const char* figure;
    const char* error;  // null: the run must succeed
  } cases[] = {
      {Fault::kFlipByte, "pingpong_1conn", "differed"},
      {Fault::kSplitEcho, "pingpong_1conn", nullptr},
      {Fault::kHangUp, "pingpong_1conn", "connection ended"},
      {Fault::kHalfTheDatagrams, "udp", "lost"},
      {Fault::kTwiceEachDatagram, "udp", "datagrams"},
      {Fault::kTwiceSomeBytes, "stream", "bytes"},
      {Fault::kQuarterOfTheTimers, "timers", "ticks of"},
  };
  for (const auto& c : cases) {
    std::vector<peer::Figure> out;
    std::string err;
    const int rc = peer::RunFigure(
        c.figure, std::unique_ptr<peer::PeerSide>(new FaultySide(c.fault)), Brief(), &out, &err);
    if (c.error == nullptr) {
      EXPECT_EQ(rc, 0) << c.figure << ": " << err;
      EXPECT_EQ(out.size(), 2u);
    } else {
      EXPECT_EQ(rc, -1) << c.figure;
      EXPECT_NE(err.find(c.error), std::string::npos) << err;
      EXPECT_TRUE(out.empty());
    }
  }
}

class PeerSides : public ::testing::TestWithParam<const char*> {};

TEST_P(PeerSides, EveryFigureRuns) {
  const peer::RunOptions opt = Brief();
  const bool echoOnly = std::string(GetParam()) == "rawhop";
  for (const std::string& figure : peer::FigureNames()) {
    bool missing = false;
    std::unique_ptr<peer::PeerSide> side = peer::MakeSide(GetParam(), &missing);
    if (missing) GTEST_SKIP() << "built without libuv";
    ASSERT_NE(side, nullptr);
    std::vector<peer::Figure> out;
    std::string err;
    const int rc = peer::RunFigure(figure, std::move(side), opt, &out, &err);
    if (echoOnly && figure.compare(0, 8, "pingpong") != 0) {
      EXPECT_EQ(rc, -1) << figure;
      continue;
    }
    ASSERT_EQ(rc, 0) << figure << ": " << err;
    // A rate, then (but for the hop) the side's CPU per unit; the timers'
    // CPU per second and two quantiles.
    ASSERT_EQ(out.size(), figure == "timers" ? 3u : figure == "hop" ? 1u : 2u) << figure;
    EXPECT_GT(out[0].value, 0) << out[0].name;
    if (figure == "timers") {
      EXPECT_LE(out[1].value, out[2].value) << "p50 above p99";
    } else if (out.size() == 2) {
      EXPECT_GT(out[1].value, 0) << out[1].name;
    }
  }
}

// Each kind of work started and the side destroyed at once, before any peer
// came: nothing may wait for a connection or a datagram that never comes.
TEST_P(PeerSides, StopsWithoutAPeer) {
  std::atomic<uint64_t> n{0};
  benchutil::Counter count;
  TickLog log(64);
  const std::function<int(peer::PeerSide&)> starts[] = {
      [](peer::PeerSide& s) { return s.StartEcho(); },
      [&](peer::PeerSide& s) { return s.StartStreamSink(&n); },
      [&](peer::PeerSide& s) { return s.StartUdpSink(&count); },
      [&](peer::PeerSide& s) { return s.StartTimers(10, 20, &log); },
      [&](peer::PeerSide& s) { return s.StartHop(&n); },
  };
  for (size_t i = 0; i < sizeof(starts) / sizeof(starts[0]); ++i) {
    bool missing = false;
    std::unique_ptr<peer::PeerSide> side = peer::MakeSide(GetParam(), &missing);
    if (missing) GTEST_SKIP() << "built without libuv";
    starts[i](*side);  // the rawhop side refuses all but the echo
    std::atomic<bool> gone{false};
    std::thread stopper([&] {
      side.reset();
      gone.store(true);
    });
    const bool stopped = zeptest::WaitFor([&] { return gone.load(); });
    if (!stopped) {
      stopper.detach();  // hung: fail rather than hang the suite
      FAIL() << "kind " << i << " did not stop";
    }
    stopper.join();
  }
}

INSTANTIATE_TEST_SUITE_P(All, PeerSides,
                         ::testing::Values("framework", "framepoll", "libuv", "raw", "rawhop"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                           return std::string(i.param);
                         });

}  // namespace
