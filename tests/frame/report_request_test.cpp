// A report asked for with RequestReport (what SIGUSR2 does in dyrclient) is
// written by the service loop with the hook's lines; and the lock guards go
// through the deadlock detector exactly in the build that asks for it.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "base/lockguard.h"
#include "base/zepdeadlock.h"
#include "log/zeplog.h"
#include "support/files.h"
#include "support/frame_helpers.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

namespace {

std::atomic<pthread_t> g_hookThread{};
std::atomic<int> g_hookCalls{0};

void Hook(ZEPFrame*, ZEPString& text) {
  g_hookThread.store(pthread_self());
  g_hookCalls.fetch_add(1);
  text << "\r\nhook line";
}

TEST(ReportRequest, ServiceLoopWritesTheReportWithTheHookLines) {
  zeptest::TempDir dir;
  ZEPLog log((dir / "frame.log").c_str());
  zeptest::ScopedLog use(&log);
  {
    zeptest::ServedFrame f;
    f->SetReportHook(&Hook);
    f->RequestReport();
    ASSERT_TRUE(zeptest::WaitFor([] { return g_hookCalls.load() == 1; }, 5000));
    EXPECT_TRUE(pthread_equal(g_hookThread.load(), *f->GetServiceHandle()));
    std::string text;
    ASSERT_TRUE(zeptest::WaitFor(
        [&] {
          text = zeptest::ReadFile(dir / "frame.log");
          return text.find("hook line") != std::string::npos;
        },
        5000));
    const size_t count = text.find("Total Nodes           : 0");
    const size_t end = text.find("================Report End=========================");
    ASSERT_NE(std::string::npos, count);
    ASSERT_NE(std::string::npos, end);
    EXPECT_LT(count, end);
    EXPECT_LT(end, text.find("hook line"));
    EXPECT_NE(std::string::npos, text.find(":INFO:"));
  }
}

TEST(LockGuardRouting, GuardsAreKnownToTheDetectorOnlyInTheDetectorBuild) {
  Mutex m;
  bool known;
  {
    ZEPLockGuard guard(m);
    // The detector's own lock: not watched by the detector itself.
    ZEPLockGuard tm(g_TMMutex, ZEPLockGuard::kUntracked);
    Mutex2Thread key;
    key.m_pMutex = &m;
    known = g_M2TTree.SearchKey(key) != nullptr;
  }
#ifdef ZEP_DEADLOCK_DETECT
  EXPECT_TRUE(known);
#else
  EXPECT_FALSE(known);
#endif
}

}  // namespace
