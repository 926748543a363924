// Producers on several threads deliver through the frame's Enqueue (no
// node-list lock) while the node quits in the middle of their stream.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/frame_helpers.h"

using zeptest::RecNode;
using zeptest::ServedFrame;
using zeptest::WaitFor;

// Four producers hold the node (as callers of Enqueue must) and send
// numbered user events; producer 0 sends the quit event after its first
// half. Nothing reaches the node after its quit event, producer 0's events
// before the quit all arrive, each producer's arrive in order and once, and
// every event goes back to its pool once the node is gone (none is lost in
// the queue of a node that quit). After the node is destroyed the frame
// refuses to deliver to it.
TEST(HandOffQuit, NodeQuittingMidStreamLosesNothingAndGetsNothingAfter) {
  const int kProducers = 4;
  const int kEach = 2000;
  std::atomic<int> destroyed{0};
  std::mutex mu;
  std::vector<std::vector<int>> got(kProducers);
  std::atomic<bool> quit{false};
  std::atomic<int> afterQuit{0};
  {
    ServedFrame f;
    RecNode* node = new RecNode(f.frame, &destroyed);
    node->handler = [&](CEvent* e) {
      if (quit.load()) afterQuit.fetch_add(1);
      if (CUserEvent* u = CUserEvent::Narrow(e)) {
        std::lock_guard<std::mutex> lock(mu);
        got[u->GetTag() >> 20].push_back(u->GetTag() & 0xfffff);
      }
      return false;
    };
    node->onQuit = [&] { quit.store(true); };
    SmartPtr<CAppNode> hold(node);
    ASSERT_EQ(0, f->AddNode(node, true));
    const uint32_t id = node->GetAppID();
    std::atomic<int> accepted{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kEach; ++i) {
          if (p == 0 && i == kEach / 2) {
            SmartPtr<CQuitEvent> q(f->AllocQuitEvent());
            EXPECT_TRUE(f->Enqueue(node, q.Get(), true, false));
          }
          SmartPtr<CUserEvent> ev(f->AllocUserEvent());
          ev->SetTag((p << 20) | i);
          ev->SetAppID(id);
          if (f->Enqueue(node, ev.Get(), true, true)) accepted.fetch_add(1);
        }
      });
    }
    for (std::thread& t : producers) t.join();
    ASSERT_TRUE(WaitFor([&] { return !f->IsNodeRegistered(node); }));
    SmartPtr<CUserEvent> late(f->AllocUserEvent());
    late->SetAppID(id);
    EXPECT_FALSE(f->Enqueue(node, late.Get(), true, true));
    late.Release();
    EXPECT_EQ(0, afterQuit.load());
    {
      std::lock_guard<std::mutex> lock(mu);
      ASSERT_GE(got[0].size(), static_cast<size_t>(kEach / 2));
      size_t delivered = 0;
      for (int p = 0; p < kProducers; ++p) {
        delivered += got[p].size();
        for (size_t i = 1; i < got[p].size(); ++i) ASSERT_LT(got[p][i - 1], got[p][i]);
      }
      for (int i = 0; i < kEach / 2; ++i) ASSERT_EQ(i, got[0][i]);
      EXPECT_LE(delivered, static_cast<size_t>(accepted.load()));
    }
    hold.Release();  // the last reference: the node's queue lets its events go
    ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 1; }));
    EXPECT_EQ(0u, f->GetEventsOutstanding());
  }
}
