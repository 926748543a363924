#include "log/tnlog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "frame/zepframe.h"
#include "support/files.h"
#include "support/tempdir.h"

namespace {

// A connected loopback TCP pair standing in for a console connection.
struct ConsolePair {
  int server = -1;  // the console's socket, given to the log
  int client = -1;  // the administrator's end
  ConsolePair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      client = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        server = accept(listener, nullptr, nullptr);
      }
    }
    close(listener);
  }
  ~ConsolePair() {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
  }
  // Whatever arrives within `ms` milliseconds.
  std::string Receive(int ms = 200) {
    std::string got;
    pollfd pfd{client, POLLIN, 0};
    while (poll(&pfd, 1, ms) > 0) {
      char buf[512];
      ssize_t n = read(client, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      ms = 20;
    }
    return got;
  }
};

// A frame without worker pool or socket threads: the log sends through its
// SendData, which needs no running service loop.
ZEPFrame* FakeFrame() {
  static ZEPFrame s_frame(false, false);
  return &s_frame;
}

std::atomic<int> g_nSends{0};
std::atomic<ZEPFrame*> g_pSeenFrame{nullptr};

int CountingSend(ZEPFrame* pFrame, int nSocket, const char* pLine) {
  g_nSends.fetch_add(1);
  g_pSeenFrame.store(pFrame);
  return TNLogFrameSend(pFrame, nSocket, pLine);
}

class ZEPTNLogTest : public testing::Test {
 protected:
  void SetUp() override {
    g_nSends.store(0);
    g_pTNLogSend.store(&CountingSend);
  }
  void TearDown() override { g_pTNLogSend.store(&TNLogFrameSend); }
};

TEST_F(ZEPTNLogTest, LinesReachTheConsoleWithCrLf) {
  zeptest::TempDir dir;
  std::string path = dir / "tn.log";
  ConsolePair console;
  ASSERT_GT(console.server, 0);
  ZEPTNLog log(FakeFrame(), path.c_str());
  EXPECT_EQ(-1, log.GetSocket());
  log.Log(__FILE__, __LINE__, LOG_INFO, "before console");
  EXPECT_EQ(0, g_nSends.load()) << "no console attached";

  log.SetSocket(console.server);
  log.Log(__FILE__, __LINE__, LOG_WARN, "to console");
  std::string got = console.Receive();
  ASSERT_EQ(13u + 18u, got.size()) << got;
  EXPECT_EQ(":WARN:to console\r\n", got.substr(13));
  EXPECT_EQ(FakeFrame(), g_pSeenFrame.load());
  // The file keeps plain lines.
  std::vector<std::string> lines = zeptest::SplitLines(zeptest::ReadFile(path));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(":WARN:to console", lines[1].substr(13));
}

TEST_F(ZEPTNLogTest, NoFrameOrNoSocketSendsNothing) {
  ConsolePair console;
  ZEPTNLog noFrame(nullptr);
  noFrame.SetSocket(console.server);
  noFrame.Log(__FILE__, __LINE__, LOG_INFO, "x");
  ZEPTNLog zeroSocket(FakeFrame());
  zeroSocket.SetSocket(0);
  zeroSocket.Log(__FILE__, __LINE__, LOG_INFO, "x");
  EXPECT_EQ(0, g_nSends.load());
  EXPECT_EQ("", console.Receive(50));
}

TEST_F(ZEPTNLogTest, FailedSendDetachesUntilAConsoleIsSetAgain) {
  ZEPTNLog log(FakeFrame());
  {
    ConsolePair gone;
    ASSERT_GT(gone.server, 0);
    close(gone.client);
    gone.client = -1;
    log.SetSocket(gone.server);
    // The peer has closed: the first send may still be accepted, a later one
    // fails (reset), and then the console is detached.
    for (int i = 0; i < 20 && log.GetSocket() != -1; ++i) {
      log.Log(__FILE__, __LINE__, LOG_INFO, "to a closed console");
      ZEPSleep(5);
    }
    EXPECT_EQ(-1, log.GetSocket());
  }
  int sends = g_nSends.load();
  log.Log(__FILE__, __LINE__, LOG_INFO, "nobody listens");
  EXPECT_EQ(sends, g_nSends.load());

  ConsolePair again;
  log.SetSocket(again.server);
  log.Log(__FILE__, __LINE__, LOG_INFO, "back");
  EXPECT_NE(std::string::npos, again.Receive().find(":INFO:back\r\n"));
}

TEST_F(ZEPTNLogTest, SeveralConsolesEachGetEveryLineAndLeaveAlone) {
  ZEPTNLog log(FakeFrame());
  ConsolePair first, second, third;
  log.SetSocket(first.server);
  EXPECT_EQ(0, log.AddSocket(second.server));
  EXPECT_EQ(0, log.AddSocket(second.server));  // once is enough
  EXPECT_EQ(0, log.AddSocket(third.server));
  EXPECT_EQ(-1, log.AddSocket(0));
  EXPECT_EQ(3, log.GetSocketCount());
  log.Log(__FILE__, __LINE__, LOG_INFO, "to all");
  EXPECT_EQ(":INFO:to all\r\n", first.Receive().substr(13));
  EXPECT_EQ(":INFO:to all\r\n", second.Receive().substr(13));
  EXPECT_EQ(":INFO:to all\r\n", third.Receive().substr(13));
  // One console leaves: the others keep their copy, the SetSocket one too.
  log.RemoveSocket(second.server);
  EXPECT_FALSE(log.HasSocket(second.server));
  EXPECT_EQ(first.server, log.GetSocket());
  // A dead console is detached on its own failure only.
  close(third.client);
  third.client = -1;
  for (int i = 0; i < 20 && log.HasSocket(third.server); ++i) {
    log.Log(__FILE__, __LINE__, LOG_INFO, "still");
    ZEPSleep(5);
  }
  EXPECT_FALSE(log.HasSocket(third.server));
  EXPECT_EQ(1, log.GetSocketCount());
  EXPECT_NE(std::string::npos, first.Receive().find("still"));
  EXPECT_EQ("", second.Receive(50));
  // RemoveSocket takes the SetSocket slot too when it holds that socket.
  log.RemoveSocket(first.server);
  EXPECT_EQ(-1, log.GetSocket());
  // Every slot taken: refused, not overwritten.
  for (int fd = 1000; fd < 1000 + ZEPTNLog::kMaxExtraSockets; ++fd) EXPECT_EQ(0, log.AddSocket(fd));
  EXPECT_EQ(-1, log.AddSocket(second.server));
  for (int fd = 1000; fd < 1000 + ZEPTNLog::kMaxExtraSockets; ++fd) log.RemoveSocket(fd);
  EXPECT_EQ(0, log.GetSocketCount());
}

// Each console gets the copy in the charset it asked for; asking again
// changes it without taking a second slot.
TEST_F(ZEPTNLogTest, EachConsoleGetsTheCopyInTheCharsetItAskedFor) {
  ZEPTNLog log(FakeFrame());
  ConsolePair own, utf8, gb;
  log.SetSocket(own.server);
  ASSERT_EQ(0, log.AddSocket(utf8.server, true));
  ASSERT_EQ(0, log.AddSocket(gb.server));
  const char kGb[] = "\xb5\xc7\xc2\xbc\xb3\xc9\xb9\xa6! IP: 127.0.0.1";  // 登录成功!
  const char kUtf8[] = "\xe7\x99\xbb\xe5\xbd\x95\xe6\x88\x90\xe5\x8a\x9f! IP: 127.0.0.1";
  log.Log(__FILE__, __LINE__, LOG_MESG, kGb);
  EXPECT_EQ(std::string(":MESG:") + kGb + "\r\n", own.Receive().substr(13));
  EXPECT_EQ(std::string(":MESG:") + kUtf8 + "\r\n", utf8.Receive().substr(13));
  EXPECT_EQ(std::string(":MESG:") + kGb + "\r\n", gb.Receive().substr(13));
  EXPECT_EQ(0, log.AddSocket(utf8.server, false));
  EXPECT_EQ(0, log.AddSocket(gb.server, true));
  EXPECT_EQ(3, log.GetSocketCount());
  log.Log(__FILE__, __LINE__, LOG_MESG, kGb);
  EXPECT_EQ(std::string(":MESG:") + kGb + "\r\n", utf8.Receive().substr(13));
  EXPECT_EQ(std::string(":MESG:") + kUtf8 + "\r\n", gb.Receive().substr(13));
  log.RemoveSocket(gb.server);
  EXPECT_FALSE(log.HasSocket(gb.server));
  EXPECT_EQ(2, log.GetSocketCount());
}

}  // namespace
