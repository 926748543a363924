// The ticker sleeps without a period: a tick is due only when a timer says
// so. These tests fail (at their bounded waits) when a wake-up is missing,
// because nothing else would end the sleep.
#include <gtest/gtest.h>

#include <atomic>

#include "support/frame_helpers.h"

using zeptest::RecNode;
using zeptest::ServedFrame;
using zeptest::WaitFor;

TEST(TickerWakeups, ATimerAddedToAnIdleTickerFires) {
  ServedFrame f;
  RecNode* n = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(n, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing due: it sleeps
  TimeEvent_tag* id = f->AddTicker(n, 30, 1, 0);
  ASSERT_NE(nullptr, id);
  EXPECT_TRUE(WaitFor([&] { return n->TickCount(id) == 1; }, 5000));
}

TEST(TickerWakeups, AnEarlierTimerCutsTheSleepForALaterOne) {
  ServedFrame f;
  RecNode* n = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(n, true));
  TimeEvent_tag* slow = f->AddTicker(n, 60000, 0, 0);
  ASSERT_NE(nullptr, slow);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // it plans to wake in a minute
  TimeEvent_tag* fast = f->AddTicker(n, 40, 3, 0);
  ASSERT_NE(nullptr, fast);
  EXPECT_TRUE(WaitFor([&] { return n->TickCount(fast) == 3; }, 5000));
  EXPECT_EQ(0u, n->TickCount(slow));
  f->DelTicker(slow);
}

TEST(TickerWakeups, AQuittingNodeIsDestroyedWithNoTimerDue) {
  std::atomic<int> destroyed{0};
  ServedFrame f;
  RecNode* n = new RecNode(f.frame, &destroyed);
  n->handler = [](CEvent* e) { return CUserEvent::Narrow(e) != nullptr; };
  ASSERT_EQ(0, f->AddNode(n, true));
  ASSERT_TRUE(WaitFor([&] { return n->running.load(); }, 5000));
  SmartPtr<CUserEvent> leave(f->AllocUserEvent());
  ASSERT_TRUE(f->Enqueue(n, leave.Get(), true, false));
  leave.Release();
  EXPECT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 5000));
  EXPECT_EQ(0, f->GetNodeCount());
  EXPECT_EQ(0, f->GetQuitCount());
}
