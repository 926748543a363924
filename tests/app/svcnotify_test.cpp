// The service manager's notify protocol: the environment as the manager may
// set it (and as it must never crash us), the messages, and the manager
// object against a datagram socket of the test standing in for the manager.
#include "app/svcnotify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "app/dyrclient.h"
#include "app/dyrnews.h"
#include "app/svcmanager.h"
#include "base/zepmultithread_clock.h"
#include "frame/zepframe.h"

namespace {

TEST(NotifySocketTest, PathsAndAbstractNamesAreAddressedAndEverythingElseRefused) {
  const std::string longest(107, 'p');  // what sun_path holds besides one zero
  struct Case {
    std::string text;
    bool ok;
    const char* why;  // part of the reason, for a refusal
  } cases[] = {
      {"/run/systemd/notify", true, ""},
      {"@dyr-notify", true, ""},
      {"/" + longest.substr(1), true, ""},
      {"@" + longest.substr(1), true, ""},
      {"/" + longest, false, "longer than"},
      {"@" + longest, false, "longer than"},
      {"", false, "empty"},
      {"@", false, "no socket"},
      {"run/notify", false, "absolute"},
      {"vsock:2:1234", false, "absolute"},
      {" /run/notify", false, "absolute"},
  };
  for (const Case& c : cases) {
    sockaddr_un addr{};
    socklen_t len = 99;
    ZEPString why;
    int rc = DyrParseNotifySocket(c.text.c_str(), addr, len, why);
    ASSERT_EQ(rc, c.ok ? 0 : -1) << c.text;
    if (!c.ok) {
      EXPECT_EQ(len, 0u);
      EXPECT_NE(std::string(why.GetSafeText()).find(c.why), std::string::npos) << why.GetSafeText();
      continue;
    }
    EXPECT_EQ(addr.sun_family, AF_UNIX);
    const size_t base = offsetof(sockaddr_un, sun_path);
    if (c.text[0] == '/') {
      // The path with its terminating zero.
      EXPECT_EQ(len, base + c.text.size() + 1) << c.text;
      EXPECT_EQ(std::string(addr.sun_path), c.text);
    } else {
      // A leading zero byte, then the name without "@" and without an end.
      EXPECT_EQ(len, base + c.text.size()) << c.text;
      EXPECT_EQ(addr.sun_path[0], '\0');
      EXPECT_EQ(std::string(addr.sun_path + 1, c.text.size() - 1), c.text.substr(1));
    }
  }
  sockaddr_un addr{};
  socklen_t len = 0;
  ZEPString why;
  EXPECT_EQ(DyrParseNotifySocket(nullptr, addr, len, why), -1);
}

TEST(NotifyWatchdogTest, OnlyAPositivePeriodForThisProcessTurnsItOn) {
  const long self = 4242;
  struct Case {
    const char* usec;
    const char* pid;
    int rc;
    uint64_t usecOut;
    const char* why;
  } cases[] = {
      {nullptr, nullptr, 0, 0, ""},
      {nullptr, "4242", 0, 0, ""},
      {"60000000", nullptr, 1, 60000000, ""},
      {"60000000", "4242", 1, 60000000, ""},
      {"18446744073709551615", nullptr, 1, UINT64_MAX, ""},
      {"60000000", "4243", 0, 0, "another process"},
      {"18446744073709551616", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"0", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"-5", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"+5", nullptr, -1, 0, "WATCHDOG_USEC"},
      {" 5", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"5s", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"abc", nullptr, -1, 0, "WATCHDOG_USEC"},
      {"60000000", "", -1, 0, "WATCHDOG_PID"},
      {"60000000", "0", -1, 0, "WATCHDOG_PID"},
      {"60000000", "x4242", -1, 0, "WATCHDOG_PID"},
      {"60000000", "4242 ", -1, 0, "WATCHDOG_PID"},
      {"60000000", "99999999999", -1, 0, "WATCHDOG_PID"},
  };
  for (const Case& c : cases) {
    uint64_t usec = 7;
    ZEPString why;
    const std::string label =
        std::string(c.usec ? c.usec : "(unset)") + " / " + (c.pid ? c.pid : "(unset)");
    ASSERT_EQ(DyrParseWatchdog(c.usec, c.pid, self, usec, why), c.rc) << label;
    EXPECT_EQ(usec, c.usecOut) << label;
    EXPECT_NE(std::string(why.GetSafeText()).find(c.why), std::string::npos)
        << label << ": " << why.GetSafeText();
  }
}

TEST(NotifyConfTest, AnUnusableSocketTurnsEverythingOffAndSaysWhy) {
  DYRNotifyConf_tag none = DyrReadNotifyConf(nullptr, "1000000", nullptr, 1);
  EXPECT_FALSE(none.m_bNotify);
  EXPECT_TRUE(none.m_Bad.empty()) << "nothing set, nothing to complain about";

  DYRNotifyConf_tag bad = DyrReadNotifyConf("relative", "1000000", nullptr, 1);
  EXPECT_FALSE(bad.m_bNotify);
  EXPECT_EQ(bad.m_nWatchdogUsec, 0u);
  ASSERT_EQ(bad.m_Bad.size(), 1u);
  EXPECT_EQ(std::string(bad.m_Bad[0].GetSafeText()).rfind("NOTIFY_SOCKET \"relative\" is ", 0), 0u);

  DYRNotifyConf_tag dog = DyrReadNotifyConf("@n", "1000000", "1", 1);
  EXPECT_TRUE(dog.m_bNotify);
  EXPECT_EQ(dog.m_nWatchdogUsec, 1000000u);
  EXPECT_TRUE(dog.m_Bad.empty());

  // Notifications still go; only the watchdog is off.
  DYRNotifyConf_tag other = DyrReadNotifyConf("@n", "1000000", "2", 1);
  EXPECT_TRUE(other.m_bNotify);
  EXPECT_EQ(other.m_nWatchdogUsec, 0u);
  EXPECT_TRUE(other.m_Bad.empty());
  EXPECT_FALSE(other.m_strWatchdogOther.IsEmpty());
  DYRNotifyConf_tag junk = DyrReadNotifyConf("@n", "soon", nullptr, 1);
  EXPECT_TRUE(junk.m_bNotify);
  EXPECT_EQ(junk.m_nWatchdogUsec, 0u);
  EXPECT_EQ(junk.m_Bad.size(), 1u);
}

TEST(NotifyMessageTest, StatusReloadingAndThePingPeriod) {
  struct Case {
    DYRStateCounts_tag counts;
    const char* text;
  } cases[] = {
      {{0, 0, 0}, "STATUS=0 accounts: 0 logging in, 0 watching, 0 reporting"},
      {{1, 0, 0}, "STATUS=1 account: 1 logging in, 0 watching, 0 reporting"},
      {{0, 0, 1}, "STATUS=1 account: 0 logging in, 0 watching, 1 reporting"},
      {{1, 0, 1}, "STATUS=2 accounts: 1 logging in, 0 watching, 1 reporting"},
      {{3, 12, 0}, "STATUS=15 accounts: 3 logging in, 12 watching, 0 reporting"},
  };
  for (const Case& c : cases) EXPECT_STREQ(DyrStatusMessage(c.counts).GetSafeText(), c.text);
  EXPECT_STREQ(DyrReloadingMessage(123456789012ULL).GetSafeText(),
               "RELOADING=1\nMONOTONIC_USEC=123456789012");

  struct Period {
    uint64_t usec;
    unsigned long ms;
  } periods[] = {
      {60000000, 30000},
      {1000000, 500},
      {2999, 1},
      {1, 1},
      {UINT64_MAX, DYR_WATCHDOG_MAX_PERIOD_MS},
  };
  for (const Period& p : periods) EXPECT_EQ(DyrWatchdogPeriodMs(p.usec), p.ms) << p.usec;
}

// A datagram socket of the test in the abstract namespace: the manager.
class FakeManager {
 public:
  FakeManager() {
    m_Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    m_Name = "@dyr-notify-test-" + std::to_string(getpid()) + "-" + std::to_string(++s_nSerial);
    sockaddr_un addr{};
    socklen_t len = 0;
    ZEPString why;
    if (DyrParseNotifySocket(m_Name.c_str(), addr, len, why) == 0)
      m_bBound = bind(m_Fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  ~FakeManager() { close(m_Fd); }
  bool Bound() const { return m_bBound; }
  const std::string& Name() const { return m_Name; }
  // The next datagram within `ms`, or "" after it.
  std::string Next(int ms = 5000) {
    pollfd p{m_Fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[4096];
    ssize_t n = recv(m_Fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  static int s_nSerial;
  int m_Fd = -1;
  bool m_bBound = false;
  std::string m_Name;
};
int FakeManager::s_nSerial = 0;

DYRNews_tag StatusNews(const void* who, int state) {
  DYRNews_tag news;
  news.m_nKind = DYRNews_tag::kStatus;
  news.m_pClient = static_cast<const CDYRClient*>(who);
  news.m_Status.m_nState = state;
  return news;
}

TEST(ServiceManagerTest, ReadyStatusReloadingStoppingAndPingsReachTheManager) {
  FakeManager mgr;
  ASSERT_TRUE(mgr.Bound());
  DYRNotifyConf_tag conf = DyrReadNotifyConf(mgr.Name().c_str(), "100000", nullptr, 1);
  ASSERT_TRUE(conf.m_bNotify);
  ZEPFrame* frame = new ZEPFrame(true, true);
  frame->Service();
  {
    CDYRServiceManager notify(conf);
    ASSERT_TRUE(notify.IsActive());
    EXPECT_EQ(notify.GetWatchdogPeriodMs(), 50u);
    notify.Ready(frame);
    EXPECT_EQ(mgr.Next(), "READY=1\nSTATUS=0 accounts: 0 logging in, 0 watching, 0 reporting");

    // Pings every 50 ms from the frame's timer: some arrive, nothing else.
    int pings = 0;
    for (int i = 0; i < 3; ++i) pings += mgr.Next() == "WATCHDOG=1" ? 1 : 0;
    EXPECT_EQ(pings, 3);

    // Two accounts (any distinct pointers will do as their names).
    int a = 0, b = 0;
    auto nextStatus = [&] {
      for (std::string m = mgr.Next(); !m.empty(); m = mgr.Next())
        if (m != "WATCHDOG=1") return m;
      return std::string();
    };
    DyrTell(StatusNews(&a, CDYRClient::kLoggingIn));
    EXPECT_EQ(nextStatus(), "STATUS=1 account: 1 logging in, 0 watching, 0 reporting");
    DyrTell(StatusNews(&b, CDYRClient::kReporting));
    EXPECT_EQ(nextStatus(), "STATUS=2 accounts: 1 logging in, 0 watching, 1 reporting");
    // A change that keeps the counts (a report time, an egress address)
    // sends nothing; the next real change does.
    DyrTell(StatusNews(&b, CDYRClient::kReporting));
    DyrTell(StatusNews(&a, CDYRClient::kWatching));
    EXPECT_EQ(nextStatus(), "STATUS=2 accounts: 0 logging in, 1 watching, 1 reporting");
    DYRNews_tag ended = StatusNews(&a, CDYRClient::kWatching);
    ended.m_nKind = DYRNews_tag::kEnded;
    DyrTell(ended);
    EXPECT_EQ(nextStatus(), "STATUS=1 account: 0 logging in, 0 watching, 1 reporting");

    const uint64_t before = static_cast<uint64_t>(ZEPMonoUs());
    notify.Reloading();
    const std::string reloading = nextStatus();
    ASSERT_EQ(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading;
    const uint64_t at = std::stoull(reloading.substr(27));
    EXPECT_GE(at, before);
    EXPECT_LE(at, static_cast<uint64_t>(ZEPMonoUs()));
    notify.Ready(frame);
    EXPECT_EQ(nextStatus(), "READY=1\nSTATUS=1 account: 0 logging in, 0 watching, 1 reporting");

    notify.Stopping();
    notify.Stopping();
    EXPECT_EQ(nextStatus(), "STOPPING=1");
    frame->ExitFrame();
    frame->WaitServiceStop();
    notify.Finish();
    // Once: nothing but the last pings came after it.
    for (std::string m = mgr.Next(300); !m.empty(); m = mgr.Next(300)) EXPECT_EQ(m, "WATCHDOG=1");
    // No longer listening: news goes nowhere.
    DyrTell(StatusNews(&a, CDYRClient::kLoggingIn));
    EXPECT_EQ(mgr.Next(200), "");
  }
  delete frame;
}

TEST(ServiceManagerTest, WithoutASocketNothingIsSentAndNothingStarts) {
  CDYRServiceManager notify(DyrReadNotifyConf(nullptr, "100000", nullptr, 1));
  EXPECT_FALSE(notify.IsActive());
  EXPECT_EQ(notify.GetWatchdogPeriodMs(), 0u);
  ZEPFrame* frame = new ZEPFrame(true, true);
  notify.Ready(frame);
  notify.Reloading();
  notify.Stopping();
  EXPECT_EQ(frame->GetNodeCount(), 0) << "no watchdog node";
  EXPECT_EQ(notify.Send("READY=1", 7), -1);
  notify.Finish();
  delete frame;
}

}  // namespace
