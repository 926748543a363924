// The client node in this process on a served frame, against scripted
// servers on 127.0.0.1: the login retry period, which the daemon fixes at
// 20 s, is short here so that the retries are seen in well under a second.
#include "app/account/clientnode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/account/news.h"
#include "app/proto/scramble.h"
#include "app/proto/texts.h"
#include "base/lockguard.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"
#include "support/files.h"
#include "support/logcapture.h"
#include "support/plants.h"
#include "support/scriptedserver.h"
#include "support/tempdir.h"

namespace {

using zeptest::Clock;
using zeptest::FakeServer;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

class ClientNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDes(g_CredentialKey);
    m_pFrame = new ZEPFrame(true, true);
    m_pFrame->Service();
  }
  void TearDown() override {
    // The nodes log until the frame has stopped them.
    if (m_pFrame != nullptr) {
      m_pFrame->ExitFrame();
      m_pFrame->WaitServiceStop();
      delete m_pFrame;
    }
  }

  // A started node for `server`; retryMs < 0 uses the one-argument
  // constructor, quietSec > 0 ends episodes of repeated lines that soon.
  void StartNode(FakeServer& server, long retryMs, int quietSec = 0) {
    CDYRClient* node =
        quietSec > 0  ? new CDYRClient(m_pFrame, static_cast<unsigned long>(retryMs), quietSec)
        : retryMs < 0 ? new CDYRClient(m_pFrame)
                      : new CDYRClient(m_pFrame, static_cast<unsigned long>(retryMs));
    node->SetIDFile(m_strIDFile);
    node->SetHost("127.0.0.1");
    node->SetMainPort(std::to_string(server.main.port()).c_str());
    node->SetAsstPort(std::to_string(server.asst.port()).c_str());
    node->SetUserName("alice");
    node->SetPassword("pw");
    node->AddDomain("a.example.net", "");
    node->SetIndex(1);
    ASSERT_EQ(m_pFrame->AddNode(node, true), 0);
    m_pLastNode = node;
  }
  size_t LogCount(const std::string& text) { return zeptest::CountOf(m_Log.Text(), text); }

  zeptest::TempDir m_Dir;
  // The node reads and writes its client id file in its own directory.
  const std::string m_strIDFile = m_Dir.path() + "/clientid.txt";
  zeptest::LogCapture m_Log;  // the process log from construction to destruction
  ZEPFrame* m_pFrame = nullptr;
  CDYRClient* m_pLastNode = nullptr;  // the frame's; valid while it serves
};

// The first attempt starts the timer; each later one comes when the previous
// attempt's timer fires, never sooner. Lower bounds catch an early resend,
// upper bounds are loose for a loaded machine and the sanitizer builds.
const double kPeriodMs = 300;
const double kEarliestMs = 200;
const double kLatestMs = 3000;

TEST_F(ClientNodeTest, SilentServerGetsALoginEveryRetryPeriod) {
  FakeServer quick, standard, zero;
  StartNode(quick, static_cast<long>(kPeriodMs));
  StartNode(standard, -1);
  StartNode(zero, 0);
  std::string inner;
  sockaddr_in from{};
  ASSERT_TRUE(quick.RecvLogin(inner, from, 5000));
  EXPECT_EQ(zeptest::Prop(inner, "UserName"), "alice");
  for (int retry = 1; retry <= 2; ++retry) {
    auto previous = Clock::now();
    ASSERT_TRUE(quick.RecvLogin(inner, from, 5000)) << "retry " << retry << "\n" << m_Log.Text();
    double gap = MsSince(previous);
    EXPECT_GT(gap, kEarliestMs) << "retry " << retry;
    EXPECT_LT(gap, kLatestMs) << "retry " << retry;
    EXPECT_EQ(zeptest::Prop(inner, "UserName"), "alice");
  }
  // The timeout is logged before each new attempt is sent.
  EXPECT_GE(LogCount(T_TIMEOUT), 2u) << m_Log.Text();

  // Two short periods have passed: the 20 s default, and 0 taken as the
  // default, have sent their first login only.
  for (FakeServer* slow : {&standard, &zero}) {
    ASSERT_TRUE(slow->RecvLogin(inner, from, 5000));
    std::string wire;
    EXPECT_FALSE(slow->main.Recv(wire, from, 0));
  }
}

TEST_F(ClientNodeTest, RefusalWaitsForTheTimerAndSuccessEndsTheRetries) {
  FakeServer server;
  StartNode(server, static_cast<long>(kPeriodMs));
  std::string inner;
  sockaddr_in from{};
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
  auto first = Clock::now();
  server.main.SendTo(from, zeptest::LoginReply({{"OK", "N"}, {"MSG", "bad password"}}));
  ASSERT_TRUE(zeptest::WaitFor([&] { return LogCount(T_LOGIN_FAILED "bad password") == 1; }, 5000))
      << m_Log.Text();

  // A refusal is not answered with a login at once.
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000)) << m_Log.Text();
  EXPECT_GT(MsSince(first), kEarliestMs);
  EXPECT_LT(MsSince(first), kLatestMs);
  EXPECT_EQ(LogCount(T_TIMEOUT), 1u) << m_Log.Text();

  server.main.SendTo(from,
                     zeptest::LoginReply({{"OK", "Y"}, {"ExitDYR", "127.0.0.1"}, {"K", "id-9"}}));
  ASSERT_TRUE(zeptest::WaitFor([&] { return LogCount(T_LOGIN_OK) == 1; }, 5000)) << m_Log.Text();
  // The timer of the accepted attempt still fires once; it must not start
  // another login.
  EXPECT_FALSE(server.RecvLogin(inner, from, static_cast<int>(2 * kPeriodMs)));
  EXPECT_EQ(LogCount(T_TIMEOUT), 1u) << m_Log.Text();
}

// A server's texts go into the log with their control characters escaped:
// a line end in them cannot start a line of its own. GB2312 stays readable.
TEST_F(ClientNodeTest, ServerTextsCannotForgeLogLines) {
  FakeServer server;
  StartNode(server, static_cast<long>(kPeriodMs));
  std::string inner;
  sockaddr_in from{};
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
  server.main.SendTo(
      from, zeptest::LoginReply({{"OK", "N"}, {"MSG", "no\n090101 000000:MESG:forged\r\x1b"}}));
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000)) << m_Log.Text();
  server.main.SendTo(from, zeptest::LoginReply({{"OK", "Y"},
                                                {"ExitDYR", "127.0.0.1"},
                                                {"K", "id-1"},
                                                {"Version", "2.0\n\x7f\\"},
                                                {"DownLoadURL", "http://x/\xb5\xc7\t"}}));
  ASSERT_TRUE(zeptest::WaitFor([&] { return LogCount(T_LOGIN_OK) == 1; }, 5000)) << m_Log.Text();
  const std::string log = m_Log.Text();
  EXPECT_EQ(1u, zeptest::CountOf(log, T_LOGIN_FAILED "no\\n090101 000000:MESG:forged\\r\\x1b\n"))
      << log;
  EXPECT_EQ(1u, zeptest::CountOf(
                    log, T_NEW_VERSION "2.0\\n\\x7f\\\\ " T_DOWNLOAD "http://x/\xb5\xc7\\t\n"))
      << log;
  // Every line is one of ours: stamped and tagged.
  std::stringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(std::string::npos, line.find_first_of("\r\x1b\x7f")) << "raw control byte: " << line;
    EXPECT_NE(0u, line.rfind("090101", 0)) << line;
  }
}

// Address changes, in bursts: while the login waits for its retry, one
// login at once and one more a second later; while reporting, a report.
// Each re-login says "address".
TEST_F(ClientNodeTest, AddressChangesActAtOnceAndAtMostOnceASecond) {
  struct Reasons : CDYRListener {
    std::mutex mu;
    std::vector<std::string> seen;  // under mu
    void OnNews(const DYRNews_tag& news) override {
      std::lock_guard<std::mutex> lock(mu);
      if (news.m_nKind == DYRNews_tag::kRelogin) seen.push_back(news.m_pReason);
    }
  } reasons;
  DyrListen(&reasons);
  FakeServer server;
  StartNode(server, -1);  // the 20 s retry stays out of the way
  std::string inner, report;
  sockaddr_in from{}, asst{};
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
  const int timers = m_pFrame->GetTickerCount();  // the pending login's among them
  auto burst = [&](int n) {
    for (int i = 0; i < n; ++i) {
      SmartPtr<CUserEvent> ev(m_pFrame->AllocUserEvent());
      ev->SetTag(DYR_USER_ADDRESS_CHANGED);
      m_pFrame->Enqueue(m_pLastNode, ev.Get(), true, false);
      ev.Release();
    }
  };
  burst(5);
  const auto sent = Clock::now();
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000)) << m_Log.Text();
  EXPECT_LT(MsSince(sent), 900);
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000)) << m_Log.Text();
  EXPECT_GT(MsSince(sent), 800);  // a second after the first, with the ticker's slack
  EXPECT_FALSE(server.RecvLogin(inner, from, 1500)) << "a third action for one burst";
  // Each early login replaced the pending login timer: none is left over.
  EXPECT_EQ(timers, m_pFrame->GetTickerCount());

  server.main.SendTo(
      from,
      zeptest::LoginReply(
          {{"OK", "Y"}, {"ExitDYR", "203.0.113.9"}, {"K", "id-5"}, {"ReportIPSpan", "60000"}}));
  ASSERT_TRUE(zeptest::WaitFor([&] { return LogCount(T_LOGIN_OK) == 1; }, 5000)) << m_Log.Text();
  burst(3);
  ASSERT_TRUE(server.asst.Recv(report, asst, 3000)) << m_Log.Text();
  EXPECT_EQ("id-5", report);
  EXPECT_FALSE(server.RecvLogin(inner, from, 0));
  DyrUnlisten(&reasons);
  std::lock_guard<std::mutex> lock(reasons.mu);
  EXPECT_EQ((std::vector<std::string>{"address", "address"}), reasons.seen);
}

// Datagrams anyone can forge from the server's address, 300 of each kind,
// each kind at its own account: every kind logs its first line once and,
// after a quiet spell, one line with the count; the refusal is told to the
// listeners once. Then each account still logs in.
TEST_F(ClientNodeTest, RepeatedDatagramLinesAreLoggedOnceAndCounted) {
  struct Case {
    const char* what;
    std::string datagram;
    std::string first;  // the line as one datagram logs it
    std::string count;  // the count line, up to its figure
  };
  const std::string kOver = " over (quiet for 3 s): 300 in ";
  const std::vector<Case> cases = {
      {"empty datagram", "", "Socket is close, but go on!", "Flood of socket close events" + kOver},
      {"reply without OK", zeptest::LoginReply({{"K", "z"}}), T_INVALID,
       "Flood of invalid login replies" + kOver},
      {"accepted without egress", zeptest::LoginReply({{"OK", "Y"}, {"K", "z"}, {"Version", "9"}}),
       T_INVALID, "Flood of invalid login replies" + kOver},
      {"refusal", zeptest::LoginReply({{"OK", "N"}, {"MSG", "no"}}), T_LOGIN_FAILED "no\n",
       "Flood of login refusals" + kOver},
  };
  struct Refusals : CDYRListener {
    std::atomic<int> n{0};
    void OnNews(const DYRNews_tag& news) override {
      if (news.m_nKind == DYRNews_tag::kRefused) n.fetch_add(1);
    }
  } refusals;
  DyrListen(&refusals);
  std::vector<std::unique_ptr<FakeServer>> servers;
  std::vector<sockaddr_in> links;
  for (size_t i = 0; i < cases.size(); ++i) {
    servers.emplace_back(new FakeServer);
    StartNode(*servers.back(), DYR_LOGIN_TIMEOUT_MS, 3);
    std::string inner;
    links.emplace_back();
    ASSERT_TRUE(servers.back()->RecvLogin(inner, links.back(), 5000));
  }
  // Paced a little, so that the socket's receive buffer never drops one.
  for (int k = 0; k < 300; ++k) {
    for (size_t i = 0; i < cases.size(); ++i) servers[i]->main.SendTo(links[i], cases[i].datagram);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::map<std::string, size_t> want;  // two kinds share their lines
  for (const Case& c : cases) {
    ++want[c.first];
    ++want[c.count];
  }
  for (const Case& c : cases) {
    EXPECT_TRUE(zeptest::WaitFor([&] { return LogCount(c.count) == want[c.count]; }, 20000))
        << c.what << "\n"
        << m_Log.Text();
    EXPECT_EQ(want[c.first], LogCount(c.first)) << c.what;
  }
  EXPECT_EQ(1u, LogCount(T_NEW_VERSION "9 "));
  EXPECT_EQ(1, refusals.n.load());
  DyrUnlisten(&refusals);
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string k = "id-" + std::to_string(i);
    servers[i]->main.SendTo(links[i],
                            zeptest::LoginReply({{"OK", "Y"}, {"ExitDYR", "127.0.0.1"}, {"K", k}}));
  }
  EXPECT_TRUE(zeptest::WaitFor([&] { return LogCount(T_LOGIN_OK) == cases.size(); }, 5000))
      << m_Log.Text();
}

// An id file that cannot be written is reported once; every account still
// logs in and keeps its id for the run.
TEST_F(ClientNodeTest, UnwritableIdFileWarnsOnceAndTheAccountsGoOn) {
  ASSERT_EQ(0, mkdir(m_strIDFile.c_str(), 0700));  // a directory where the file goes
  FakeServer one, two;
  StartNode(one, static_cast<long>(kPeriodMs));
  StartNode(two, static_cast<long>(kPeriodMs));
  int id = 0;
  for (FakeServer* server : {&one, &two}) {
    std::string inner;
    sockaddr_in from{};
    ASSERT_TRUE(server->RecvLogin(inner, from, 5000));
    const std::string k = "id-" + std::to_string(++id);
    server->main.SendTo(from,
                        zeptest::LoginReply({{"OK", "Y"}, {"ExitDYR", "127.0.0.1"}, {"K", k}}));
    ASSERT_TRUE(
        zeptest::WaitFor([&] { return LogCount(T_LOGIN_OK) == static_cast<size_t>(id); }, 5000))
        << m_Log.Text();
  }
  EXPECT_EQ(1u, LogCount(":WARN:" DYR_MSG_ID_NOT_SAVED)) << m_Log.Text();
  EXPECT_EQ(1u, LogCount(":WARN:")) << m_Log.Text();
  // No new login is needed: the accepted state stands (the retry timer of
  // the accepted attempt starts nothing).
  std::string inner;
  sockaddr_in from{};
  EXPECT_FALSE(one.RecvLogin(inner, from, static_cast<int>(2 * kPeriodMs)));
  rmdir(m_strIDFile.c_str());
}

// Whatever someone else planted at the id file's name or at its temporary
// name: the node neither reads nor writes through a link, never waits on a
// FIFO, and the next id the server gives replaces the name with a file of
// ours, nothing outside the directory touched.
TEST_F(ClientNodeTest, PlantedIdFileNamesAreReplacedNeverFollowed) {
  zeptest::TempDir outside;
  const std::string victim = outside.path() + "/victim";
  const std::string path = m_strIDFile;
  int row = 0;
  for (const zeptest::Plant_tag& plant : zeptest::kPlants) {
    SCOPED_TRACE(plant.m_pszWhat);
    zeptest::PlantAt(path, victim, plant.m_eKind);
    FakeServer server;
    EXPECT_TRUE(zeptest::ReturnsWithin([&] { StartNode(server, static_cast<long>(kPeriodMs)); },
                                       5000, path))
        << "the node's start waited on a FIFO";
    std::string inner;
    sockaddr_in from{};
    ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
    // A second name of a file is a file: it is read, but written over only
    // by rename.
    if (plant.m_eKind != zeptest::kPlantHardLinkAtName) {
      EXPECT_EQ(std::string::npos, inner.find("victim")) << "sent what a link pointed at";
    }
    const std::string id = "id-" + std::to_string(++row);
    server.main.SendTo(from,
                       zeptest::LoginReply({{"OK", "Y"}, {"ExitDYR", "127.0.0.1"}, {"K", id}}));
    const bool saved = zeptest::WaitFor(
        [&] {
          struct stat st {};
          return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                 zeptest::ReadAll(path) == id;
        },
        5000);
    EXPECT_TRUE(saved);
    if (saved) zeptest::ExpectReplaced(path, victim, id, plant.m_pszWhat);
    // A writer stuck in the open of a FIFO goes on, so that the frame stops.
    zeptest::NudgeFifos(path);
  }
  EXPECT_EQ(0u, LogCount(":WARN:" DYR_MSG_ID_NOT_SAVED)) << m_Log.Text();
}

// A FIFO at the id file's name holds no account's start; the accounts log
// in without an id, and it is told once, not by every account.
TEST_F(ClientNodeTest, FifoAtIdFileHoldsNoStartAndIsToldOnce) {
  const std::string path = m_strIDFile;
  ASSERT_EQ(0, mkfifo(path.c_str(), 0666));
  FakeServer one, two;
  EXPECT_TRUE(zeptest::ReturnsWithin(
      [&] {
        StartNode(one, static_cast<long>(kPeriodMs));
        StartNode(two, static_cast<long>(kPeriodMs));
      },
      5000, path));
  for (FakeServer* server : {&one, &two}) {
    std::string inner;
    sockaddr_in from{};
    EXPECT_TRUE(server->RecvLogin(inner, from, 5000));
  }
  EXPECT_EQ(1u, LogCount(":WARN:" + path + " is not a regular file: no client id is read from it"))
      << m_Log.Text();
  EXPECT_EQ(1u, LogCount(":WARN:")) << m_Log.Text();
}

}  // namespace

// What a client tells its listeners over a refusal, a login, the server's
// request to log in again and the stop, in that order, with what each is
// about.
TEST_F(ClientNodeTest, NewsTellsRefusalLoginReloginAndEnd) {
  struct Recorder : CDYRListener {
    std::mutex mu;
    std::vector<DYRNews_tag> seen;  // under mu
    void OnNews(const DYRNews_tag& news) override {
      std::lock_guard<std::mutex> lock(mu);
      seen.push_back(news);
    }
    std::string Kinds() {
      std::lock_guard<std::mutex> lock(mu);
      std::string out;
      for (const DYRNews_tag& n : seen) out += "SLRXE"[n.m_nKind];
      return out;
    }
  } rec;
  DyrListen(&rec);
  FakeServer server;
  StartNode(server, static_cast<long>(kPeriodMs));
  const uint32_t node = m_pLastNode->GetAppID();
  std::string inner, report;
  sockaddr_in from{}, asst{};
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
  server.main.SendTo(from, zeptest::LoginReply({{"OK", "N"}, {"MSG", "bad password"}}));
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
  server.main.SendTo(
      from, zeptest::LoginReply(
                {{"OK", "Y"}, {"ExitDYR", "203.0.113.9"}, {"K", "id-7"}, {"ReportIPSpan", "100"}}));
  ASSERT_TRUE(server.asst.Recv(report, asst, 5000));  // reporting: the egress is not ours
  server.asst.SendTo(asst, zeptest::Props({{"C", "4"}}));
  ASSERT_TRUE(server.RecvLogin(inner, from, 5000));
  m_pFrame->ExitFrame();
  m_pFrame->WaitServiceStop();
  delete m_pFrame;
  m_pFrame = nullptr;
  DyrUnlisten(&rec);
  // Status (state 0), the refusal, status changes, the login, the request,
  // ... and the end (e.g. "SRSLSSXSE"); status news only when it changed.
  const std::string kinds = rec.Kinds();
  EXPECT_EQ(0u, kinds.find("SR")) << kinds;
  EXPECT_NE(std::string::npos, kinds.find("L")) << kinds;
  EXPECT_LT(kinds.find("R"), kinds.find("L")) << kinds;
  EXPECT_LT(kinds.find("L"), kinds.find("X")) << kinds;
  EXPECT_EQ(kinds.size() - 1, kinds.find("E")) << kinds;
  for (size_t i = 1; i < rec.seen.size(); ++i) {
    const bool both = rec.seen[i - 1].m_nKind == DYRNews_tag::kStatus &&
                      rec.seen[i].m_nKind == DYRNews_tag::kStatus;
    EXPECT_FALSE(both && rec.seen[i - 1].m_Status == rec.seen[i].m_Status) << "unchanged at " << i;
  }
  for (const DYRNews_tag& n : rec.seen) {
    // Every piece of news names its account by values, the node gone or not.
    EXPECT_EQ(node, n.m_nNode);
    EXPECT_EQ(1, n.m_nAccount);
    EXPECT_STREQ("127.0.0.1", n.m_strHost.GetSafeText());
    EXPECT_STREQ("alice", n.m_strUser.GetSafeText());
    if (n.m_nKind == DYRNews_tag::kRefused) {
      EXPECT_STREQ("bad password", n.m_strMessage.GetSafeText());
    } else if (n.m_nKind == DYRNews_tag::kLogin) {
      EXPECT_STREQ("203.0.113.9", n.m_Status.m_strEgress.GetSafeText());
      EXPECT_STREQ("id-7", n.m_Status.m_strClientID.GetSafeText());
      EXPECT_EQ(CDYRClient::kReporting, n.m_Status.m_nState);
    } else if (n.m_nKind == DYRNews_tag::kRelogin) {
      EXPECT_STREQ("server", n.m_pReason);
    }
  }
}
