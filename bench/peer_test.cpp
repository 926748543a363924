// The peer benchmark's own checks: the statistics it prints, that the shared
// peer notices an echo that is wrong, and that every side starts, does each
// kind of work and stops. Nothing here asserts a speed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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

// An echo side that gets one byte in every 64 wrong.
class BadEcho : public peer::PeerSide {
 public:
  ~BadEcho() override {
    shutdown(m_nListen, SHUT_RDWR);
    if (m_nConn >= 0) shutdown(m_nConn, SHUT_RDWR);
    m_Thread.join();
    if (m_nConn >= 0) close(m_nConn);
    close(m_nListen);
  }
  int StartEcho() override {
    m_nListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = nettest::Loopback(0);
    bind(m_nListen, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(m_nListen, 4);
    m_nConn = -1;
    m_Thread = std::thread([this] {
      int s = accept(m_nListen, nullptr, nullptr);
      if (s < 0) return;
      m_nConn = s;
      char buf[peer::kPingBytes];
      ssize_t n;
      while ((n = read(s, buf, sizeof(buf))) > 0) {
        buf[n - 1] ^= 1;
        if (send(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    });
    return nettest::LocalPort(m_nListen);
  }
  int StartStreamSink(std::atomic<uint64_t>*) override { return -1; }
  int StartUdpSink(benchutil::Counter*) override { return -1; }
  int StartTimers(int, int, TickLog*) override { return -1; }
  int StartHop(std::atomic<uint64_t>*) override { return -1; }

 private:
  int m_nListen = -1;
  std::atomic<int> m_nConn{-1};
  std::thread m_Thread;
};

TEST(PeerStats, WrongEchoFailsTheRun) {
  BadEcho side;
  peer::RunOptions opt;
  opt.seconds = 0.05;
  opt.warmupSeconds = 0.05;
  std::vector<peer::Figure> out;
  std::string err;
  EXPECT_EQ(peer::RunFigure("pingpong_1conn", side, opt, &out, &err), -1);
  EXPECT_NE(err.find("differed"), std::string::npos) << err;
  EXPECT_TRUE(out.empty());
}

class PeerSides : public ::testing::TestWithParam<const char*> {};

TEST_P(PeerSides, EveryFigureRuns) {
  peer::RunOptions opt;
  opt.seconds = 0.1;
  opt.warmupSeconds = 0.05;
  opt.timers = 200;
  opt.periodMs = 100;
  const bool echoOnly = std::string(GetParam()) == "rawhop";
  for (const std::string& figure : peer::FigureNames()) {
    bool missing = false;
    std::unique_ptr<peer::PeerSide> side = peer::MakeSide(GetParam(), &missing);
    if (missing) GTEST_SKIP() << "built without libuv";
    ASSERT_NE(side, nullptr);
    std::vector<peer::Figure> out;
    std::string err;
    const int rc = peer::RunFigure(figure, *side, opt, &out, &err);
    side.reset();  // stops cleanly before the next one starts
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

INSTANTIATE_TEST_SUITE_P(All, PeerSides, ::testing::Values("framework", "libuv", "raw", "rawhop"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                           return std::string(i.param);
                         });

}  // namespace
