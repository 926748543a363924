// The watchdog's pings against a served frame in this process: they come
// while every account answers, also one idle for good or busy in one event
// for less than the busy limit (a name lookup), and stop, with the culprit
// named in the log, when an account is stuck in its loop or the service
// loop is stuck. The period is 100 ms and the busy limit 3 s here.
#include "app/ops/svcmanager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/account/clientnode.h"
#include "frame/zepframe.h"
#include "support/logcapture.h"
#include "support/notifylistener.h"
#include "support/waitfor.h"

namespace {

const int kUserStall = 99;  // the user event that makes the account below block

// An account whose loop blocks in its handling of kUserStall until the
// test lets it go (at most 30 s, so a failed test cannot hang).
class StallingClient : public CDYRClient {
 public:
  explicit StallingClient(ZEPFrame* frame) : CDYRClient(frame) {}
  std::atomic<bool> release{false};
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      CEvent* ev = Event().Get();
      if (CQuitEvent::Narrow(ev) != nullptr) break;
      CUserEvent* user = CUserEvent::Narrow(ev);
      if (user != nullptr && user->GetTag() == kUserStall) {
        zeptest::WaitFor([this] { return release.load(); }, 30000);
        release.store(false);
      }
    }
  }
};

struct Served {
  std::atomic<bool> stallLoop{false};
  CDYRServiceManager* manager = nullptr;
};

// The service hook, as the daemon's: the manager's turn, and a stall when
// the test asks for one (at most 30 s).
void OnWake(void* context) {
  Served* served = static_cast<Served*>(context);
  zeptest::WaitFor([served] { return !served->stallLoop.load(); }, 30000);
  served->manager->ServiceTurn(g_pFrame);
}

enum Hold_ { kNothing, kAccountBriefly, kReloadBriefly, kAccount, kServiceLoop };

// True once a ping comes within `ms` (other messages are skipped).
bool PingWithin(zeptest::NotifyListener& mgr, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (mgr.Next(100) == "WATCHDOG=1") return true;
  }
  return false;
}

TEST(Watchdog, PingsOnlyWhileEveryAccountAndTheServiceLoopAnswer) {
  const struct {
    const char* name;
    Hold_ hold;
    const char* warn;   // "": no WARN, the pings go on while held
    const char* again;  // the INFO line once it is let go
  } cases[] = {
      {"an idle account", kNothing, "", ""},
      {"an account busy for less than the limit", kAccountBriefly, "", ""},
      // The reload waits for removed accounts, which may be in a lookup.
      {"a service loop in a reload for less than the limit", kReloadBriefly, "", ""},
      {"an account stuck in its loop", kAccount,
       "Watchdog: account 2 (host stuck.example, user bob) has not answered for ",
       "Watchdog: account 2 (host stuck.example, user bob) answers again."},
      {"a stuck service loop", kServiceLoop, "Watchdog: the service loop has not answered for ",
       "Watchdog: the service loop answers again."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zeptest::LogCapture log;
    zeptest::NotifyListener mgr("@watchdog-test-" + std::to_string(getpid()));
    ASSERT_TRUE(mgr.Bound());
    CDYRServiceManager manager(DyrReadNotifyConf(mgr.Name().c_str(), "200000", nullptr, getpid()));
    manager.SetBusyLimitMs(3000);
    Served served;
    served.manager = &manager;
    g_pFrame = new ZEPFrame(true, true);
    g_pFrame->SetServiceHook(OnWake, &served);
    g_pFrame->Service();
    StallingClient* node = new StallingClient(g_pFrame);
    node->SetHost("stuck.example");
    node->SetUserName("bob");
    node->SetIndex(2);
    ASSERT_EQ(0, g_pFrame->AddNode(node, true));
    manager.Ready(g_pFrame);
    EXPECT_EQ(0u, mgr.NextNotPing().find("READY=1"));
    ASSERT_EQ("WATCHDOG=1", mgr.Next());

    if (c.hold == kAccount || c.hold == kAccountBriefly) {
      SmartPtr<CUserEvent> ev(g_pFrame->AllocUserEvent());
      ev->SetTag(kUserStall);
      ASSERT_TRUE(g_pFrame->Enqueue(node, ev.Get(), true, false));
      ev.Release();
    }
    if (c.hold == kReloadBriefly) manager.Reloading();
    if (c.hold == kServiceLoop || c.hold == kReloadBriefly) served.stallLoop.store(true);
    if (*c.warn == '\0') {
      // A quarter of the busy limit: pings all along.
      mgr.Drain();
      int pings = 0;
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(750);
      while (std::chrono::steady_clock::now() < end) pings += mgr.Next(100) == "WATCHDOG=1";
      EXPECT_GE(pings, 2);
      EXPECT_EQ(0, log.Count("WARN", "Watchdog"));
    } else {
      // Read on: the socket's queue holds only a few pings.
      EXPECT_TRUE(zeptest::WaitFor([&] {
        mgr.Drain();
        return log.Count("WARN", c.warn) == 1;
      }));
      // Ten periods without a ping; the manager's limit would be two.
      mgr.Drain();
      EXPECT_EQ("", mgr.Next(1000));
      EXPECT_EQ(1, log.Count("WARN", "Watchdog")) << "one line per stall";
    }
    node->release.store(true);
    served.stallLoop.store(false);
    if (c.hold == kReloadBriefly) manager.Ready(g_pFrame);
    EXPECT_TRUE(PingWithin(mgr, 5000));
    if (*c.again != '\0') {
      EXPECT_TRUE(zeptest::WaitFor([&] { return log.Count("INFO", c.again) == 1; }));
    }
    g_pFrame->ExitFrame();
    g_pFrame->WaitServiceStop();
    manager.Finish();
    delete g_pFrame;
    g_pFrame = nullptr;
  }
}

}  // namespace
