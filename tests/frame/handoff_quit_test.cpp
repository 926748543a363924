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
    // The frame may drop the last reference on its own thread, and the
    // node's queue gives its events back after the derived destructor has
    // counted the node destroyed.
    EXPECT_TRUE(WaitFor([&] { return f->GetEventsOutstanding() == 0; }))
        << f->GetEventsOutstanding();
  }
}

// Producers name a node by its address without holding it, as a socket's
// or a timer's producer may, while the node quits and the frame destroys
// it. No producer touches the freed node (the address sanitizer build would
// stop), none is accepted once it is gone, nothing is delivered after the
// quit, and every event goes back to its pool. One producer sends socket
// events whose source pauses and resumes and whose number is reused.
TEST(HandOffQuit, ProducersNamingANodeAsTheFrameDestroysItTouchNothingFreed) {
  const int kProducers = 4;
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> destroyed{0};
    std::atomic<bool> quit{false};
    std::atomic<int> afterQuit{0};
    ServedFrame f;
    RecNode* node = new RecNode(f.frame, &destroyed);
    node->handler = [&](CEvent*) {
      if (quit.load()) afterQuit.fetch_add(1);
      return false;
    };
    node->onQuit = [&] { quit.store(true); };
    // A low mark, so the socket events pause and resume all along.
    node->Queue().SetTCPEventHWM(8);
    ASSERT_EQ(0, f->AddNode(node, true));
    const uint32_t id = node->GetAppID();
    std::atomic<bool> stop{false};
    std::atomic<int> refusedAfterGone{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        int sent = 0;
        while (!stop.load()) {
          const bool gone = destroyed.load() != 0;
          if (p == 0 && sent == 500) {
            SmartPtr<CQuitEvent> q(f->AllocQuitEvent());
            f->Enqueue(node, q.Get(), true, false);
          }
          bool ok;
          if (p == 3) {
            // Socket 40's number goes to a new socket (generation) every
            // 256 reads, as a closed and reopened descriptor does.
            SmartPtr<CTCPEvent> ev(f->AllocTCPEvent());
            ev->SetSocket(40);
            ev->SetGeneration(1 + static_cast<uint32_t>(sent / 256));
            ok = f->Enqueue(node, ev.Get(), true, false);
          } else {
            SmartPtr<CUserEvent> ev(f->AllocUserEvent());
            ev->SetAppID(id);
            ok = f->Enqueue(node, ev.Get(), true, p % 2 == 0);
          }
          if (gone && !ok) refusedAfterGone.fetch_add(1);
          if (gone) {
            EXPECT_FALSE(ok);
          }
          ++sent;
          if (sent % 64 == 0) std::this_thread::yield();
        }
      });
    }
    ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 1; }));
    // A while longer naming the freed node.
    ASSERT_TRUE(WaitFor([&] { return refusedAfterGone.load() >= 1000; }));
    stop.store(true);
    for (std::thread& t : producers) t.join();
    EXPECT_EQ(0, afterQuit.load());
    // The count moves in the node's destructor, before its queue has let
    // the events it still held go.
    EXPECT_TRUE(WaitFor([&] { return f->GetEventsOutstanding() == 0; }))
        << f->GetEventsOutstanding();
  }
}
