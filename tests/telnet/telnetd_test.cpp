// The console nodes over real loopback connections: password, echo and
// prompt, idle limits, hostile input, the log's copy, many sessions at once.
#include "telnet/telnetd.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/tnlog.h"
#include "support/frame_helpers.h"
#include "support/logcapture.h"
#include "support/nettest_util.h"
#include "support/telnetpeer.h"

namespace {

using nettest::Clock;
using telnettest::Peer;

// What every session gets first: IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD.
const std::string kOffer("\xff\xfb\x01\xff\xfb\x03");
// 登录成功! in the log's charset and in UTF-8.
const char kGbText[] = "\xb5\xc7\xc2\xbc\xb3\xc9\xb9\xa6!";
const char kUtf8Text[] = "\xe7\x99\xbb\xe5\xbd\x95\xe6\x88\x90\xe5\x8a\x9f!";

// A console whose commands are: "say X" answers X, "gb" answers a Chinese
// text of the daemon with a zero byte inside, "logon"/"logoff" switch the
// log copy, "quit" ends the session.
class EchoConsole : public CTelnetClientNode {
 public:
  EchoConsole(ZEPFrame* f, CTelnetdNode* owner) : CTelnetClientNode(f, owner) {}
  void DestroyMe() override { delete this; }
  void ExecuteCmd(ZEPString line) override {
    std::string l(line.GetSafeText(), line.GetLength());
    if (l == "quit") {
      Quit();
    } else if (l.compare(0, 4, "say ") == 0) {
      Send(l.substr(4) + "\r\n");
    } else if (l == "gb") {
      Send(std::string(kGbText) + std::string(1, '\0') + kGbText + "\r\n");
    } else if (l == "logon" || l == "logoff") {
      Send(std::string(SetLogCopy(l == "logon") == 0 ? "ok\r\n" : "refused\r\n"));
    }
  }
  using CTelnetClientNode::Send;
  int Send(const std::string& s) { return CTelnetClientNode::Send(s.data(), s.size()); }
};

class EchoListener : public CTelnetdNode {
 public:
  EchoListener(ZEPFrame* f, const TelnetLimits_tag& limits, ZEPCharset charset)
      : CTelnetdNode(f, limits) {
    SetHostPort("127.0.0.1", "0");
    SetPlainPasswd("s3cret");
    SetCharset(charset);
  }
  void DestroyMe() override { delete this; }
  CTelnetClientNode* NewClientNode() override {
    CTelnetClientNode* node = new EchoConsole(Frame(), this);
    lastSession.store(node);
    return node;
  }
  std::atomic<CTelnetClientNode*> lastSession{nullptr};  // the newest session made
};

// A served frame with a listener on an ephemeral loopback port.
struct Console {
  explicit Console(TelnetLimits_tag limits = ShortLimits(), ZEPCharset charset = kZEPCharsetUtf8) {
    listener = new EchoListener(frame.frame, limits, charset);
    EXPECT_EQ(0, frame->AddNode(listener, true));
    EXPECT_TRUE(zeptest::WaitFor([&] { return listener->GetListenState() != 0; }, 10000));
    port = listener->GetListenPort();
  }
  ~Console() { frame.Stop(); }
  static TelnetLimits_tag ShortLimits() {
    TelnetLimits_tag l;
    l.m_nLoginIdleSec = 30;
    l.m_nIdleSec = 30;
    return l;
  }
  zeptest::ServedFrame frame;
  EchoListener* listener = nullptr;  // the frame's until it stops
  int port = -1;
};

// Installs a log with a console copy and no file for a test's length.
struct CopyLog {
  ZEPTNLog log;
  zeptest::ScopedLog use{&log};
  explicit CopyLog(ZEPFrame* f) : log(f) {
    log.SetToFile(false);
    g_pTNLogSend.store(&TelnetLogSend);
  }
  ~CopyLog() { g_pTNLogSend.store(&TNLogFrameSend); }
  void Line(const char* text) {
    ZEPLockGuard lock(g_LogMutex);
    log.Log(__FILE__, __LINE__, LOG_INFO, text);
  }
};

TEST(TelnetConsole, PasswordInPiecesThenEchoPromptBareCrAndErase) {
  Console c;
  ASSERT_GT(c.port, 0);
  Peer p(c.port);
  ASSERT_TRUE(p.WaitFor("Password:"));
  EXPECT_EQ(kOffer + "Password:", p.got);
  p.Write("s3");
  p.Write("cr");
  EXPECT_TRUE(p.Quiet(200));  // nothing echoed while the password is typed
  p.Write("et\r");
  ASSERT_TRUE(p.WaitFor("\r\nADMIN>"));
  EXPECT_EQ(kOffer + "Password:\r\nADMIN>", p.got);
  size_t at = p.got.size();
  p.Write("say hi\r");  // a bare CR: its echo gets the LF
  ASSERT_TRUE(p.WaitFor("ADMIN>", 10000, at));
  EXPECT_EQ("say hi\r\nhi\r\nADMIN>", p.got.substr(at));
  at = p.got.size();
  p.Write("\b");
  EXPECT_TRUE(p.Quiet(300));  // backspace on an empty line: nothing back
  p.Write("s\b");
  ASSERT_TRUE(p.WaitFor("s\b \b", 10000, at));
  at = p.got.size();
  // The LF of that CR LF comes in the next packet: no second prompt.
  p.Write("say a\r");
  ASSERT_TRUE(p.WaitFor("ADMIN>", 10000, at));
  at = p.got.size();
  p.Write("\n");
  EXPECT_TRUE(p.Quiet(300));
  p.Write("quit\r\n");
  EXPECT_TRUE(p.WaitClosed(10000));
  EXPECT_EQ("quit\r\n", p.got.substr(at));
}

TEST(TelnetConsole, WrongPasswordClosesAtOnceAndTellsThePeerAtWarn) {
  zeptest::LogCapture log;
  Console c;
  Peer p(c.port);
  ASSERT_TRUE(p.WaitFor("Password:"));
  // Commands typed ahead of a wrong password are never run.
  p.Write("S3CRET\r\nsay leaked\r\n");
  EXPECT_TRUE(p.WaitClosed(10000));
  EXPECT_EQ(std::string::npos, p.got.find("leaked"));
  EXPECT_TRUE(zeptest::WaitFor([&] { return log.Count("WARN", "wrong password") == 1; }, 5000));
  EXPECT_EQ(1, log.Count("WARN", "127.0.0.1:"));
  // An empty password opens nothing, and a password longer than a line is
  // wrong without being compared.
  c.listener->SetPlainPasswd("");
  Peer q(c.port);
  ASSERT_TRUE(q.WaitFor("Password:"));
  q.Write("\r");
  EXPECT_TRUE(q.WaitClosed(10000));
  EXPECT_FALSE(c.listener->IsPasswd(""));
}

TEST(TelnetConsole, PasswordsThroughTheInstalledDecoder) {
  Console c;
  EXPECT_EQ("ADMIN>", std::string(c.listener->GetPrompt().GetSafeText()));
  g_pTelnetDecrypt.store(nullptr);
  EXPECT_EQ(-1, c.listener->SetPasswd("abc"));
  EXPECT_TRUE(c.listener->IsPasswd("s3cret"));
  g_pTelnetDecrypt.store([](const char* s, ZEPString& out) { out = ZEPString("x") + s; });
  EXPECT_EQ(0, c.listener->SetPasswd("yz"));
  g_pTelnetDecrypt.store(nullptr);
  EXPECT_TRUE(c.listener->IsPasswd("xyz"));
  EXPECT_FALSE(c.listener->IsPasswd("xy"));
  EXPECT_FALSE(c.listener->IsPasswd("xyzz"));
  EXPECT_FALSE(c.listener->IsPasswd("XYZ"));
}

TEST(TelnetConsole, TelnetNegotiationZeroAndFfBytesAndHugeLines) {
  Console c;
  Peer p(c.port);
  ASSERT_TRUE(p.WaitFor("Password:"));
  // A telnet client's option requests around and inside the password: its
  // WILL TERMINAL-TYPE gets one DONT, however often it comes.
  const char kNeg[] =
      "\xff\xfd\x03\xff\xfb\x18s3c\xff\xfa\x18\x00\xff\xf0r\xff\xfb\x18"
      "et\r\x00";
  p.Write(std::string(kNeg, sizeof(kNeg) - 1));
  ASSERT_TRUE(p.WaitFor("\r\nADMIN>"));
  EXPECT_EQ(kOffer + "Password:\xff\xfe\x18\r\nADMIN>", p.got);
  // A full 4096-byte read without a line end, twice, then the line end.
  size_t at = p.got.size();
  p.Write(std::string(4096, 'A'));
  p.Write(std::string(4096, 'B') + "\r");
  ASSERT_TRUE(p.WaitFor("line too long: more than 1024 bytes\r\nADMIN>", 10000, at));
  EXPECT_EQ(std::string(1024, 'A') + "\r\nline too long: more than 1024 bytes\r\nADMIN>",
            p.got.substr(at));
  at = p.got.size();
  p.Write(
      std::string("say a\0\xff\xff"
                  "b\r",
                  10));
  ASSERT_TRUE(p.WaitFor("ADMIN>", 10000, at));
  EXPECT_EQ("say ab\r\nab\r\nADMIN>", p.got.substr(at));
}

TEST(TelnetConsole, AnswersAndTheLogCopyComeInTheListenersCharset) {
  Console utf8;
  Console gb(Console::ShortLimits(), kZEPCharsetGb2312);
  CopyLog log(utf8.frame.frame);
  Peer u(utf8.port), g(gb.port);
  ASSERT_TRUE(u.Login());
  ASSERT_TRUE(g.Login());
  u.Write("logon\r");
  g.Write("logon\r");
  ASSERT_TRUE(u.WaitFor("ok\r\n"));
  ASSERT_TRUE(g.WaitFor("ok\r\n"));
  size_t atU = u.got.size(), atG = g.got.size();
  // One line, two consoles: each gets it in its own charset.
  log.Line(kGbText);
  EXPECT_TRUE(u.WaitFor(std::string(":INFO:") + kUtf8Text + "\r\n", 10000, atU)) << u.got;
  EXPECT_TRUE(g.WaitFor(std::string(":INFO:") + kGbText + "\r\n", 10000, atG)) << g.got;
  atU = u.got.size();
  atG = g.got.size();
  u.Write("gb\r");
  g.Write("gb\r");
  const std::string zero(1, '\0');
  EXPECT_TRUE(
      u.WaitFor("gb\r\n" + std::string(kUtf8Text) + zero + kUtf8Text + "\r\nADMIN>", 10000, atU))
      << u.got;
  EXPECT_TRUE(
      g.WaitFor("gb\r\n" + std::string(kGbText) + zero + kGbText + "\r\nADMIN>", 10000, atG))
      << g.got;
  // A byte that is no part of a GB2312 character cannot be sent as UTF-8.
  atU = u.got.size();
  log.Line("x\xb5 y");
  EXPECT_TRUE(u.WaitFor(":INFO:x? y\r\n", 10000, atU)) << u.got;
}

TEST(TelnetConsole, IdleLimitsBeforeAndAfterLogin) {
  TelnetLimits_tag limits;
  limits.m_nLoginIdleSec = 1;
  limits.m_nIdleSec = 2;
  Console c(limits);
  Peer before(c.port);
  Peer after(c.port);
  ASSERT_TRUE(after.Login());
  const auto start = Clock::now();
  EXPECT_TRUE(before.WaitClosed(10000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
  // Typing resets the count: still open past the login limit.
  after.Write("say x\r\n");
  EXPECT_FALSE(after.WaitClosed(1500));
  EXPECT_TRUE(after.WaitClosed(10000));
}

// Late ticks of an ended timer whose record the session's ticker reuses (the
// pool hands out its lowest free record) are no idle seconds: more of them
// than the idle limit leave the session open.
TEST(TelnetConsole, LateTicksOfTheTickersRecordsEndedTimerAreNoIdleSeconds) {
  Console c;
  uint64_t endedSerial = 0;
  TimeEvent_tag* rec = c.frame->AddTicker(c.listener, 60000, -1, 0, &endedSerial);
  ASSERT_NE(nullptr, rec);
  ASSERT_EQ(0, c.frame->DelTicker(rec, endedSerial));
  Peer p(c.port);
  ASSERT_TRUE(p.Login());
  CTelnetClientNode* session = c.listener->lastSession.load();
  ASSERT_NE(nullptr, session);
  ASSERT_EQ(1, c.frame->GetTickerCount());  // the session's ticker, on `rec`
  for (int i = 0; i < Console::ShortLimits().m_nIdleSec + 5; ++i) {
    SmartPtr<CTimerEvent> late(c.frame->AllocTimerEvent());
    late->SetTimerID(rec);
    late->SetTimerSerial(endedSerial);
    EXPECT_TRUE(c.frame->Enqueue(session, late.Get(), true, false));
    late.Release();
  }
  // Queued behind the late ticks: answered only by a session still open.
  const size_t at = p.got.size();
  p.Write("say alive\r\n");
  EXPECT_TRUE(p.WaitFor("say alive\r\nalive\r\nADMIN>", 5000, at));
}

TEST(TelnetConsole, SilentPasswordPromptIsDroppedAfterTenSeconds) {
  Console c(TelnetLimits_tag{});  // the real limits
  Peer p(c.port);
  ASSERT_TRUE(p.WaitFor("Password:"));
  const auto start = Clock::now();
  EXPECT_FALSE(p.WaitClosed(9000));
  EXPECT_TRUE(p.WaitClosed(15000));
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(10));
}

// Clients that drip bytes at the password prompt every 200 ms: only typing
// restarts the idle count, and typing itself ends at the login limit.
TEST(TelnetConsole, PromptIsHeldOnlyByTypingAndNeverPastTheLoginLimit) {
  struct Drip {
    const char* what;
    std::string bytes;  // sent every 200 ms
    bool typing;        // closed by the login limit, not by the idle one
  };
  const std::vector<Drip> drips = {
      {"NUL", std::string(1, '\0'), false},
      {"IAC NOP", "\xff\xf1", false},
      {"option requests", "\xff\xfd\x18\xff\xfb\x1f", false},
      {"subnegotiation", std::string("\xff\xfa\x18\x00\xff\xf0", 6), false},
      {"erase on an empty line", "\b", false},
      {"escaped 255", "\xff\xff", false},
      {"slow typing", "a", true},
      {"typing and erasing", "b\b", true},
  };
  zeptest::LogCapture log;
  TelnetLimits_tag limits;
  limits.m_nLoginIdleSec = 1;
  limits.m_nLoginMaxSec = 4;
  Console c(limits);
  std::vector<std::unique_ptr<Peer>> peers;
  std::vector<std::string> names;  // "127.0.0.1:port" as the console logs it
  for (size_t i = 0; i < drips.size(); ++i) {
    peers.emplace_back(new Peer(c.port));
    ASSERT_TRUE(peers.back()->WaitFor("Password:"));
    names.push_back("127.0.0.1:" + std::to_string(nettest::LocalPort(peers.back()->fd)) + ":");
  }
  const auto start = Clock::now();
  std::vector<double> closedAfter(drips.size(), -1);
  while (Clock::now() - start < std::chrono::seconds(20)) {
    bool open = false;
    for (size_t i = 0; i < drips.size(); ++i) {
      if (closedAfter[i] >= 0) continue;
      // send, not write: the console may have closed meanwhile.
      send(peers[i]->fd, drips[i].bytes.data(), drips[i].bytes.size(), MSG_NOSIGNAL);
      if (!peers[i]->ReadSome(0))
        closedAfter[i] = std::chrono::duration<double>(Clock::now() - start).count();
      else
        open = true;
    }
    if (!open) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (size_t i = 0; i < drips.size(); ++i) {
    const Drip& d = drips[i];
    EXPECT_GE(closedAfter[i], 0) << d.what << " still open";
    EXPECT_EQ(std::string::npos, peers[i]->got.find("ADMIN>")) << d.what;
    EXPECT_TRUE(zeptest::WaitFor(
        [&] { return log.Count(d.typing ? "WARN" : "INFO", names[i]) == 1; }, 5000))
        << d.what;
    if (d.typing) {
      // Kept open past the idle limit, closed at the login limit.
      EXPECT_GE(closedAfter[i], 3.5) << d.what;
      EXPECT_EQ(1, log.Count("WARN", names[i] + " not logged in within 4 s")) << d.what;
    } else {
      EXPECT_EQ(1, log.Count("INFO", names[i] + " idle for more than 1 s")) << d.what;
    }
  }
}

// Eight sessions at once: the ninth connection is told so and closed, the
// eight work on, a flood of refusals logs its first and its count, and a
// session that quits frees its place at once.
TEST(TelnetConsole, NinthSessionIsRefusedUntilAPlaceIsFree) {
  zeptest::LogCapture log;
  TelnetLimits_tag limits = Console::ShortLimits();
  limits.m_nRefusedQuietSec = 2;
  Console c(limits);
  const std::string kFull = "too many console sessions (8), try again later\r\n";
  std::vector<std::unique_ptr<Peer>> eight;
  for (int i = 0; i < 8; ++i) {
    eight.emplace_back(new Peer(c.port));
    ASSERT_TRUE(eight.back()->Login()) << i;
  }
  for (int round = 0; round < 6; ++round) {
    Peer ninth(c.port);
    ASSERT_TRUE(ninth.WaitClosed(10000)) << round;
    EXPECT_EQ(kFull, ninth.got) << round;
  }
  EXPECT_EQ(8, c.listener->GetSessionCount());
  for (int i = 0; i < 8; ++i) {
    const size_t at = eight[i]->got.size();
    eight[i]->Write("say " + std::to_string(i) + "\r");
    EXPECT_TRUE(eight[i]->WaitFor(std::to_string(i) + "\r\nADMIN>", 10000, at)) << i;
  }
  EXPECT_TRUE(zeptest::WaitFor(
      [&] { return log.Count("WARN", "6 connections refused (too many console sessions)") == 1; },
      10000));
  EXPECT_EQ(1, log.Count("WARN", ": too many console sessions (8), connection refused."));
  // The place of a session that quit is free by the time its connection closes.
  eight[3]->Write("quit\r");
  ASSERT_TRUE(eight[3]->WaitClosed(10000));
  Peer next(c.port);
  EXPECT_TRUE(next.Login()) << next.got;
  EXPECT_EQ(8, c.listener->GetSessionCount());
  Peer tenth(c.port);
  ASSERT_TRUE(tenth.WaitClosed(10000));
  EXPECT_EQ(kFull, tenth.got);
  // A lone refusal in a new flood: its own line, no count.
  EXPECT_TRUE(zeptest::WaitFor(
      [&] {
        return log.Count("WARN", ": too many console sessions (8), connection refused.") == 2;
      },
      10000));
}

TEST(TelnetConsole, LogCopyReachesEveryConsoleThatAskedUntilItLeaves) {
  Console c;
  CopyLog log(c.frame.frame);
  Peer a(c.port), b(c.port), quiet(c.port);
  ASSERT_TRUE(a.Login());
  ASSERT_TRUE(b.Login());
  ASSERT_TRUE(quiet.Login());
  a.Write("logon\r");
  b.Write("logon\r");
  ASSERT_TRUE(a.WaitFor("ok\r\n"));
  ASSERT_TRUE(b.WaitFor("ok\r\n"));
  log.Line("first copy");
  EXPECT_TRUE(a.WaitFor(":INFO:first copy\r\n"));
  EXPECT_TRUE(b.WaitFor(":INFO:first copy\r\n"));
  // a leaves mid-line; b keeps its copy, the socket a had is no longer used.
  a.Write("say unfinish");
  close(a.fd);
  a.fd = -1;
  ASSERT_TRUE(zeptest::WaitFor([&] { return log.log.GetSocketCount() == 1; }, 10000));
  log.Line("second copy");
  EXPECT_TRUE(b.WaitFor("second copy"));
  size_t at = b.got.size();
  b.Write("logoff\r");
  ASSERT_TRUE(b.WaitFor("ok\r\n", 10000, at));
  log.Line("third copy");
  EXPECT_TRUE(b.Quiet(300));
  EXPECT_EQ(std::string::npos, b.got.find("third copy"));
  EXPECT_EQ(std::string::npos, quiet.got.find("copy"));
  EXPECT_EQ(0, log.log.GetSocketCount());
}

TEST(TelnetConsole, TenSessionsTypingAndQuittingLeaveNothingBehind) {
  TelnetLimits_tag limits = Console::ShortLimits();
  limits.m_nMaxSessions = 10;
  Console c(limits);
  CopyLog log(c.frame.frame);
  std::atomic<int> done{0};
  std::vector<std::thread> admins;
  for (int i = 0; i < 10; ++i) {
    admins.emplace_back([&, i] {
      Peer p(c.port);
      if (!p.Login()) return;
      if (i % 3 == 0) p.Write("logon\r\n");
      for (int k = 0; k < 20; ++k)
        p.Write("say " + std::to_string(i) + "-" + std::to_string(k) + "\r\n");
      if (!p.WaitFor("say " + std::to_string(i) + "-19\r\n" + std::to_string(i) + "-19\r\n"))
        return;
      if (i % 2 == 0) {
        p.Write("quit\r\n");
      } else {
        p.Write("half a li");  // gone mid-line
      }
      if (i % 2 == 0 && !p.WaitClosed(10000)) return;
      done.fetch_add(1);
    });
  }
  for (int k = 0; k < 50; ++k) log.Line("busy log");
  for (std::thread& t : admins) t.join();
  EXPECT_EQ(10, done.load());
  EXPECT_TRUE(zeptest::WaitFor([&] { return c.listener->GetClientCount() == 0; }, 10000))
      << c.listener->GetClientCount() << " sessions left";
  EXPECT_EQ(0, log.log.GetSocketCount());
  EXPECT_EQ(0, c.listener->GetSessionCount());
  EXPECT_EQ(1, c.frame->GetNodeCount());  // the listener alone
}

TEST(TelnetConsole, ListenFailureIsLoggedAndTheNodeEnds) {
  zeptest::LogCapture log;
  int taken = nettest::PlainListener();
  ASSERT_GE(taken, 0);
  const std::string port = std::to_string(nettest::LocalPort(taken));
  zeptest::ServedFrame frame;
  TelnetLimits_tag once;
  once.m_nListenTries = 1;
  EchoListener* l = new EchoListener(frame.frame, once, kZEPCharsetUtf8);
  l->SetHostPort("127.0.0.1", port.c_str());
  ASSERT_EQ(0, frame->AddNode(l, true));
  // The node ends on its own; the frame destroys it.
  EXPECT_TRUE(zeptest::WaitFor(
      [&] { return log.Count("ERRR", "Listen on 127.0.0.1:" + port + " fail.") == 1; }, 10000));
  EXPECT_TRUE(zeptest::WaitFor([&] { return frame->GetNodeCount() == 0; }, 10000));
  frame.Stop();
  close(taken);
}

}  // namespace
