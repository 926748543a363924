#include "events/appnode.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/frame_helpers.h"

using zeptest::RecNode;

TEST(AppNode, ApplicationIdsComeFromOneCounter) {
  RecNode a(nullptr), b(nullptr);
  EXPECT_GE(a.GetAppID(), 1u);
  EXPECT_EQ(a.GetAppID() + 1, b.GetAppID());
  EXPECT_EQ(-1, a.GetSocket());
  uint32_t old = a.GetAppID();
  a.Init(false, nullptr);
  EXPECT_GT(a.GetAppID(), b.GetAppID());

  // Checked delivery drops events stamped for the old incarnation (and takes
  // no reference on them); unchecked delivery ignores the id.
  CUserEvent::Pool pool;
  SmartPtr<CUserEvent> stale(CUserEvent::Instance(&pool));
  stale->SetAppID(old);
  a.Enqueue(stale.Get(), true, true);
  EXPECT_EQ(1, stale->GetRefCount());
  EXPECT_EQ(nullptr, a.PeekEvent());
  stale->SetAppID(a.GetAppID());
  a.Enqueue(stale.Get(), true, true);
  EXPECT_EQ(stale.Get(), a.PeekEvent());
  stale->SetAppID(0);
  a.Enqueue(stale.Get(), true, false);
  EXPECT_EQ(3, stale->GetRefCount());
  a.Fini(false);
  EXPECT_EQ(1, stale->GetRefCount());
}

// The current event holds the queue's reference: receiving the next event
// returns the previous one to its pool.
TEST(AppNode, RecvEventReturnsThePreviousEvent) {
  CUserEvent::Pool pool;
  RecNode node(nullptr);
  node.Enqueue(CUserEvent::Instance(&pool), true, false);
  node.Enqueue(CUserEvent::Instance(&pool), true, false);
  EXPECT_EQ(2u, pool.GetCount());
  node.RecvEvent();
  CEvent* first = node.Event().Get();
  EXPECT_EQ(1, first->GetRefCount());  // no extra reference
  EXPECT_EQ(2u, pool.GetCount());
  node.RecvEvent();
  EXPECT_NE(first, node.Event().Get());
  EXPECT_EQ(1u, pool.GetCount());
  // A narrowed holder adds its own reference.
  SmartPtr<CUserEvent> held(CUserEvent::Narrow(node.Event().Get()));
  EXPECT_EQ(2, held->GetRefCount());
  node.WaitEvent(ZEP_EVENT_USER, 0);  // times out: Event() empty
  EXPECT_EQ(nullptr, node.Event().Get());
  EXPECT_EQ(1u, pool.GetCount());
  held.Release();
  EXPECT_EQ(0u, pool.GetCount());
}

TEST(AppNode, MaxTCPEventCountAppliesToNodesInitialisedLater) {
  CTCPEvent::Pool pool;
  RecNode before(nullptr);
  CAppNode::SetMaxTCPEventCount(20);
  RecNode after(nullptr);
  CAppNode::SetMaxTCPEventCount(100);
  for (int i = 0; i < 20; ++i) {
    for (CAppNode* n : {static_cast<CAppNode*>(&before), static_cast<CAppNode*>(&after)}) {
      CTCPEvent* e = CTCPEvent::Instance(&pool);
      e->SetSocket(4);
      n->Enqueue(e, true, false);
    }
  }
  EXPECT_EQ(0u, before.Queue().GetFlowStats().nSocketPauses);
  EXPECT_EQ(1u, after.Queue().GetFlowStats().nSocketPauses);
  before.Fini(false);
  after.Fini(false);
  EXPECT_EQ(0u, pool.GetCount());
}

// svc() run directly: the node lock spans the run, IsQuiting turns true only
// after doRunNode returned, and WaitServiceStop returns once it ended.
TEST(AppNode, QuittingFlagAndServiceStop) {
  CQuitEvent::Pool pool;
  RecNode node(nullptr);
  std::atomic<bool> quitSeenWhileRunning{true};
  node.onQuit = [&] { quitSeenWhileRunning.store(node.IsQuiting()); };
  node.MarkStartPooled();
  std::thread worker([&] { node.Run(); });
  ASSERT_TRUE(zeptest::WaitFor([&] { return node.running.load(); }, 5000));
  EXPECT_FALSE(node.IsQuiting());
  node.Enqueue(CQuitEvent::Instance(&pool), true, false);
  node.WaitServiceStop();
  EXPECT_TRUE(node.IsQuiting());
  EXPECT_FALSE(quitSeenWhileRunning.load());
  worker.join();
  node.Fini(false);
  EXPECT_EQ(0u, pool.GetCount());
}
