// The hook's queue rule: one run per account, a bounded wait, turns.
#include "app/ops/hookqueue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

DYRHookEvent_tag QueueEvent(const std::string& event, int account = 1) {
  DYRHookEvent_tag ev;
  ev.m_strEvent = event;
  ev.m_nAccount = account;
  return ev;
}

TEST(HookQueue, OneRunPerAccountAndTheOldestWaitingDropped) {
  CDYRHookQueue q(2, 3);
  DYRHookEvent_tag ev, dropped;
  EXPECT_FALSE(q.TakeNext(ev));
  EXPECT_FALSE(q.Push(QueueEvent("login", 1), dropped));
  ASSERT_TRUE(q.TakeNext(ev));
  EXPECT_EQ("login", ev.m_strEvent);
  EXPECT_FALSE(q.Push(QueueEvent("relogin", 1), dropped));
  EXPECT_FALSE(q.Push(QueueEvent("refused", 1), dropped));
  EXPECT_FALSE(q.TakeNext(ev)) << "account 1 runs already";
  // Two wait behind the run; a third drops the oldest of them.
  EXPECT_TRUE(q.Push(QueueEvent("login", 1), dropped));
  EXPECT_EQ("relogin", dropped.m_strEvent);
  EXPECT_EQ(2u, q.Waiting());
  // Other accounts go their own way, up to the limit of runs.
  q.Push(QueueEvent("login", 2), dropped);
  q.Push(QueueEvent("login", 3), dropped);
  q.Push(QueueEvent("login", 4), dropped);
  ASSERT_TRUE(q.TakeNext(ev));
  EXPECT_EQ(2, ev.m_nAccount);
  ASSERT_TRUE(q.TakeNext(ev));
  EXPECT_EQ(3, ev.m_nAccount);
  EXPECT_FALSE(q.TakeNext(ev)) << "three run";
  EXPECT_EQ(3u, q.Running());
  q.Done(1);
  // Turns: account 4 has waited longer than account 1's next event.
  ASSERT_TRUE(q.TakeNext(ev));
  EXPECT_EQ(4, ev.m_nAccount);
  q.Done(2);
  ASSERT_TRUE(q.TakeNext(ev));
  EXPECT_EQ(1, ev.m_nAccount);
  EXPECT_EQ("refused", ev.m_strEvent) << "in the order they came";
  q.Done(7);  // not running: nothing happens
  EXPECT_EQ(3u, q.Running());
  EXPECT_EQ(1u, q.Clear());
  EXPECT_EQ(3u, q.Running()) << "runs going stay counted";
  for (int a : {1, 3, 4}) q.Done(a);
  EXPECT_EQ(0u, q.Running());
  EXPECT_FALSE(q.TakeNext(ev));
}

}  // namespace
