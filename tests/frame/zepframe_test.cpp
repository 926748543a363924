#include "frame/zepframe.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "events/threadpool.h"
#include "support/frame_helpers.h"

using zeptest::RecNode;
using zeptest::ServedFrame;
using zeptest::WaitFor;

TEST(Frame, AddNodeAfterExitFrameIsRefused) {
  ZEPFrame frame(false, true);
  frame.ExitFrame();
  EXPECT_FALSE(frame.IsRunning());
  RecNode* node = new RecNode(&frame);
  EXPECT_EQ(-1, frame.AddNode(node, true));
  EXPECT_EQ(0, frame.GetNodeCount());
  EXPECT_FALSE(node->running.load());
  EXPECT_EQ(0, node->GetRefCount());
  delete node;
  frame.Run();  // exits at once: ticker up and down, nothing to stop
  zeptest::ExpectFrameDrained(frame);
}

TEST(Frame, EnqueueChecksRegistrationAndApplicationId) {
  std::atomic<int> destroyed{0};
  ServedFrame f;
  RecNode* node = new RecNode(f.frame, &destroyed);
  ASSERT_EQ(0, f->AddNode(node, true));
  EXPECT_EQ(-1, f->AddNode(node, true));  // registered once only
  SmartPtr<CUserEvent> ev(f->AllocUserEvent());
  EXPECT_FALSE(f->Enqueue(node, ev.Get(), true, true));  // id 0 never passes the check
  ev->SetAppID(node->GetAppID() + 1);
  EXPECT_FALSE(f->Enqueue(node, ev.Get(), true, true));
  EXPECT_FALSE(f->Enqueue(nullptr, ev.Get(), true, false));
  EXPECT_FALSE(f->Enqueue(node, nullptr, true, false));
  ev->SetAppID(node->GetAppID());
  EXPECT_TRUE(f->Enqueue(node, ev.Get(), true, true));
  ASSERT_TRUE(WaitFor([&] { return node->received.load() == 1; }, 5000));

  // A node that returns on its own is destroyed by the ticker; after that the
  // frame no longer delivers to it.
  node->leaveOnNext.store(true);
  EXPECT_TRUE(f->Enqueue(node, ev.Get(), true, false));
  ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 5000));
  EXPECT_EQ(0, f->GetNodeCount());
  EXPECT_EQ(0, f->GetQuitCount());
  EXPECT_FALSE(f->Enqueue(node, ev.Get(), true, false));
  ev.Release();
  // The node's last event goes back in the base destructor, after the
  // derived one has counted the node destroyed.
  EXPECT_TRUE(WaitFor([&] { return f->GetEventsOutstanding() == 0; }, 5000));
}

// Shutdown tells the newest node first and waits for it first. B is slow to
// wind down, A quick: A is still destroyed after B (the nodes have threads of
// their own, so the frame's reference is the last one and each node dies
// right when the frame is done waiting for it). Quit events come from the
// frame's pool lowest slot first, and every node keeps its quit event until it
// is destroyed, so the earlier-told node holds the lower address.
TEST(Frame, ShutdownTellsAndWaitsNewestFirst) {
  std::mutex mu;
  std::vector<std::string> destroyedOrder;
  ServedFrame f(false);
  RecNode* a = new RecNode(f.frame);
  RecNode* b = new RecNode(f.frame);
  a->onDestroy = [&] {
    std::lock_guard<std::mutex> l(mu);
    destroyedOrder.push_back("A");
  };
  b->onDestroy = [&] {
    std::lock_guard<std::mutex> l(mu);
    destroyedOrder.push_back("B");
  };
  std::atomic<CEvent*> quitA{nullptr}, quitB{nullptr};
  a->onQuit = [&] { quitA.store(a->quitEvent.load()); };
  b->onQuit = [&] {
    quitB.store(b->quitEvent.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  ASSERT_EQ(0, f->AddNode(a, true));
  ASSERT_EQ(0, f->AddNode(b, true));
  ASSERT_TRUE(WaitFor([&] { return a->running.load() && b->running.load(); }, 5000));
  f.Stop();
  ASSERT_EQ(2u, destroyedOrder.size());
  EXPECT_EQ("B", destroyedOrder[0]);
  EXPECT_EQ("A", destroyedOrder[1]);
  ASSERT_NE(nullptr, quitA.load());
  ASSERT_NE(nullptr, quitB.load());
  EXPECT_LT(quitB.load(), quitA.load());
}

// Nodes registered but never started are released at shutdown with their
// timers, and a frame without a worker pool gives started nodes threads of
// their own.
TEST(Frame, UnstartedNodesAndOwnThreads) {
  std::atomic<int> destroyed{0};
  ServedFrame f(false);
  EXPECT_EQ(nullptr, f->GetThreadPool());
  RecNode* idle = new RecNode(f.frame, &destroyed);
  RecNode* own = new RecNode(f.frame, &destroyed);
  ASSERT_EQ(0, f->AddNode(idle, false));
  ASSERT_EQ(0, f->AddNode(own, true));
  f->StartService(idle);  // no worker pool: nothing happens
  ASSERT_NE(nullptr, f->AddTicker(idle, 60000, -1, 0));
  ASSERT_TRUE(WaitFor([&] { return own->running.load(); }, 5000));
  EXPECT_FALSE(idle->running.load());
  f.Stop();
  EXPECT_EQ(2, destroyed.load());
}

TEST(Frame, CursorWalksNodesInRegistrationOrder) {
  std::atomic<int> destroyed{0};
  ServedFrame f;
  std::vector<RecNode*> nodes;
  for (int i = 0; i < 3; ++i) {
    nodes.push_back(new RecNode(f.frame, &destroyed));
    ASSERT_EQ(0, f->AddNode(nodes.back(), true));
  }
  {
    CAppNodeCursor cursor(f.frame);
    std::vector<CAppNode*> seen;
    for (CAppNode* n = f->GetFirstNode(cursor); n != nullptr; n = f->GetNextNode(cursor))
      seen.push_back(n);
    ASSERT_EQ(3u, seen.size());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(nodes[i], seen[i]);

    // The cursor keeps its node alive while the node quits and is destroyed
    // by the frame.
    CAppNode* first = f->GetFirstNode(cursor);
    SmartPtr<CQuitEvent> quit(f->AllocQuitEvent());
    EXPECT_TRUE(f->Enqueue(first, quit.Get(), true, false));
    ASSERT_TRUE(WaitFor([&] { return f->GetNodeCount() == 2; }, 5000));
    EXPECT_EQ(0, destroyed.load());
    EXPECT_EQ(nodes[1], f->GetNextNode(cursor));
  }
  ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 5000));
  f.Stop();
  EXPECT_EQ(3, destroyed.load());
}

// The worker pool keeps a thread free: with 5 nodes running it has 10
// threads, and the sixth node starts at once.
TEST(Frame, WorkerPoolGrowsWhenAllAreBusy) {
  ServedFrame f;
  CThreadPool* pool = f->GetThreadPool();
  ASSERT_NE(nullptr, pool);
  EXPECT_EQ(5, pool->GetTotalThread());
  std::vector<RecNode*> nodes;
  for (int i = 0; i < 5; ++i) {
    nodes.push_back(new RecNode(f.frame));
    ASSERT_EQ(0, f->AddNode(nodes.back(), true));
  }
  ASSERT_TRUE(WaitFor([&] { return pool->GetUsedThread() == 5; }, 5000));
  EXPECT_EQ(10, pool->GetTotalThread());
  RecNode* sixth = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(sixth, true));
  EXPECT_TRUE(WaitFor([&] { return sixth->running.load(); }, 5000));
  EXPECT_EQ(10, pool->GetTotalThread());
  // Starting a running node again does not run it a second time.
  f->StartService(sixth);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(6, pool->GetUsedThread());
  f.Stop();
}

// dyrclient serves on its main thread (Run); an orderly stop from another
// thread (ExitFrame + WaitServiceStop) must return only after the service
// loop has stopped every node and returned.
TEST(Frame, StopFromAnotherThreadWaitsForARunOnTheCallersThread) {
  std::atomic<int> destroyed{0};
  ZEPFrame* frame = new ZEPFrame(true, true);
  std::atomic<bool> returned{false};
  std::thread mainThread([&] {
    frame->Run();
    returned.store(true);
  });
  RecNode* node = new RecNode(frame, &destroyed);
  std::atomic<bool> quitDone{false};
  node->onQuit = [&] { quitDone.store(true); };
  ASSERT_EQ(0, frame->AddNode(node, true));
  ASSERT_TRUE(WaitFor([&] { return node->running.load(); }, 5000));
  ASSERT_TRUE(WaitFor([&] { return frame->IsServing(); }, 5000));
  frame->ExitFrame();
  frame->WaitServiceStop();
  EXPECT_FALSE(frame->IsServing());
  EXPECT_TRUE(quitDone.load());
  EXPECT_EQ(0, frame->GetNodeCount());
  EXPECT_EQ(0, frame->GetTickerCount());
  // The worker lets go of its own reference right after the node's run.
  EXPECT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 5000));
  mainThread.join();
  EXPECT_TRUE(returned.load());
  zeptest::ExpectFrameDrained(*frame);
  delete frame;
}
