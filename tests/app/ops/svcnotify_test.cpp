// The service manager's notify protocol: the environment as the manager may
// set it (and as it must never crash us), the messages, and the manager
// object against a datagram socket of the test standing in for the manager.
#include "app/ops/svcnotify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "app/account/clientnode.h"
#include "app/account/news.h"
#include "app/ops/svcmanager.h"
#include "base/zepmultithread_clock.h"
#include "frame/zepframe.h"
#include "support/notifylistener.h"

namespace {

TEST(NotifySocketTest, PathsAndAbstractNamesAreAddressedAndEverythingElseRefused) {
  const std::string longest(107, 'p');  // what sun_path holds besides one zero
  struct Case {
    std::string text;
    const char* why;  // "": addressed; else part of the reason
  } cases[] = {
      {"/run/systemd/notify", ""},
      {"@dyr-notify", ""},
      {"/" + longest.substr(1), ""},
      {"@" + longest.substr(1), ""},
      {"/" + longest, "longer than"},
      {"@" + longest, "longer than"},
      {"", "empty"},
      {"@", "no socket"},
      {"run/notify", "absolute"},
      {"vsock:2:1234", "absolute"},
      {" /run/notify", "absolute"},
  };
  const size_t base = offsetof(sockaddr_un, sun_path);
  for (const Case& c : cases) {
    sockaddr_un addr{};
    socklen_t len = 99;
    ZEPString why;
    const bool ok = *c.why == '\0';
    ASSERT_EQ(DyrParseNotifySocket(c.text.c_str(), addr, len, why), ok ? 0 : -1) << c.text;
    if (!ok) {
      EXPECT_EQ(len, 0u);
      EXPECT_NE(std::string(why.GetSafeText()).find(c.why), std::string::npos) << why.GetSafeText();
      continue;
    }
    EXPECT_EQ(addr.sun_family, AF_UNIX);
    if (c.text[0] == '/') {
      EXPECT_EQ(len, base + c.text.size() + 1) << "the path and its zero";
      EXPECT_EQ(std::string(addr.sun_path), c.text);
    } else {
      EXPECT_EQ(len, base + c.text.size()) << "a zero, then the name without @ or end";
      EXPECT_EQ(std::string(addr.sun_path, c.text.size()), '\0' + c.text.substr(1));
    }
  }
  sockaddr_un addr{};
  socklen_t len = 0;
  ZEPString why;
  EXPECT_EQ(DyrParseNotifySocket(nullptr, addr, len, why), -1);
}

TEST(NotifyWatchdogTest, OnlyAPositivePeriodForThisProcessTurnsItOn) {
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
    ASSERT_EQ(DyrParseWatchdog(c.usec, c.pid, 4242, usec, why), c.rc) << label;
    EXPECT_EQ(usec, c.usecOut) << label;
    EXPECT_NE(std::string(why.GetSafeText()).find(c.why), std::string::npos)
        << label << ": " << why.GetSafeText();
  }
}

// A socket that cannot be addressed turns the watchdog off with it; a bad
// period, or another process's watchdog, leaves the notifications on.
TEST(NotifyConfTest, AnUnusableSocketTurnsEverythingOffAndABadPeriodOnlyTheWatchdog) {
  struct Case {
    const char *socket, *usec, *pid;
    bool notify;
    uint64_t watchdog;
    size_t complaints;
    bool other;  // the watchdog is another process's
  } cases[] = {
      {nullptr, "1000000", nullptr, false, 0, 0, false},  // nothing set, nothing to say
      {"relative", "1000000", nullptr, false, 0, 1, false},
      {"@n", "1000000", "1", true, 1000000, 0, false},
      {"@n", "1000000", "2", true, 0, 0, true},
      {"@n", "soon", nullptr, true, 0, 1, false},
  };
  for (const Case& c : cases) {
    const DYRNotifyConf_tag conf = DyrReadNotifyConf(c.socket, c.usec, c.pid, 1);
    const std::string label = std::string(c.socket ? c.socket : "(unset)") + " " + c.usec;
    EXPECT_EQ(conf.m_bNotify, c.notify) << label;
    EXPECT_EQ(conf.m_nWatchdogUsec, c.watchdog) << label;
    ASSERT_EQ(conf.m_Bad.size(), c.complaints) << label;
    EXPECT_EQ(!conf.m_strWatchdogOther.IsEmpty(), c.other) << label;
    if (c.socket != nullptr && c.socket[0] != '@') {
      EXPECT_EQ(std::string(conf.m_Bad[0].GetSafeText()).rfind("NOTIFY_SOCKET \"relative\" is ", 0),
                0u);
    }
  }
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

  const uint64_t periods[][2] = {{60000000, 30000},
                                 {1000000, 500},
                                 {2999, 1},
                                 {1, 1},
                                 {UINT64_MAX, DYR_WATCHDOG_MAX_PERIOD_MS}};
  for (const auto& p : periods) EXPECT_EQ(DyrWatchdogPeriodMs(p[0]), p[1]) << p[0];
}

DYRNews_tag StatusNews(uint32_t who, int state, DYRNews_tag::Kind kind = DYRNews_tag::kStatus) {
  DYRNews_tag news;
  news.m_nKind = kind;
  news.m_nNode = who;
  news.m_Status.m_nState = state;
  return news;
}

TEST(ServiceManagerTest, ReadyStatusReloadingStoppingAndPingsReachTheManager) {
  zeptest::NotifyListener mgr("@dyr-notify-test-" + std::to_string(getpid()));
  ASSERT_TRUE(mgr.Bound());
  DYRNotifyConf_tag conf = DyrReadNotifyConf(mgr.Name().c_str(), "100000", nullptr, 1);
  ASSERT_TRUE(conf.m_bNotify);
  ZEPFrame* frame = new ZEPFrame(true, true);
  // The daemon's service hook: the pings leave from the loop's turn.
  struct Turn {
    ZEPFrame* frame;
    std::atomic<CDYRServiceManager*> manager{nullptr};
  } turn{frame};
  frame->SetServiceHook(
      [](void* context) {
        Turn* t = static_cast<Turn*>(context);
        if (CDYRServiceManager* m = t->manager.load()) m->ServiceTurn(t->frame);
      },
      &turn);
  frame->Service();
  {
    CDYRServiceManager notify(conf);
    ASSERT_TRUE(notify.IsActive());
    EXPECT_EQ(notify.GetWatchdogPeriodMs(), 50u);
    turn.manager.store(&notify);
    notify.Ready(frame);
    EXPECT_EQ(mgr.Next(), "READY=1\nSTATUS=0 accounts: 0 logging in, 0 watching, 0 reporting");

    // Pings every 50 ms, paced by the frame's timer: some arrive, nothing else.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(mgr.Next(), "WATCHDOG=1");

    // Two accounts (any distinct ids of no node of the frame will do).
    const uint32_t a = 0xfffffff0u, b = 0xfffffff1u;
    DyrTell(StatusNews(a, CDYRClient::kLoggingIn));
    EXPECT_EQ(mgr.NextNotPing(), "STATUS=1 account: 1 logging in, 0 watching, 0 reporting");
    DyrTell(StatusNews(b, CDYRClient::kReporting));
    EXPECT_EQ(mgr.NextNotPing(), "STATUS=2 accounts: 1 logging in, 0 watching, 1 reporting");
    // A change that keeps the counts (a report time, an egress address)
    // sends nothing; the next real change does.
    DyrTell(StatusNews(b, CDYRClient::kReporting));
    DyrTell(StatusNews(a, CDYRClient::kWatching));
    EXPECT_EQ(mgr.NextNotPing(), "STATUS=2 accounts: 0 logging in, 1 watching, 1 reporting");
    DyrTell(StatusNews(a, CDYRClient::kWatching, DYRNews_tag::kEnded));
    EXPECT_EQ(mgr.NextNotPing(), "STATUS=1 account: 0 logging in, 0 watching, 1 reporting");

    const uint64_t before = static_cast<uint64_t>(ZEPMonoUs());
    notify.Reloading();
    const std::string reloading = mgr.NextNotPing();
    ASSERT_EQ(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading;
    const uint64_t at = std::stoull(reloading.substr(27));
    EXPECT_GE(at, before);
    EXPECT_LE(at, static_cast<uint64_t>(ZEPMonoUs()));
    notify.Ready(frame);
    EXPECT_EQ(mgr.NextNotPing(),
              "READY=1\nSTATUS=1 account: 0 logging in, 0 watching, 1 reporting");

    notify.Stopping();
    notify.Stopping();
    EXPECT_EQ(mgr.NextNotPing(), "STOPPING=1");
    frame->ExitFrame();
    frame->WaitServiceStop();
    notify.Finish();
    // Once: nothing but the last pings came after it.
    for (std::string m = mgr.Next(300); !m.empty(); m = mgr.Next(300)) EXPECT_EQ(m, "WATCHDOG=1");
    // No longer listening: news goes nowhere.
    DyrTell(StatusNews(a, CDYRClient::kLoggingIn));
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
