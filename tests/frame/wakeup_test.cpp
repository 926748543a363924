// The ticker and the message queue sleep without a period: a tick is due only
// when a timer says so, and a waiting receiver is woken by the enqueue. These
// tests fail (at their bounded waits) when a wake-up is missing, because
// nothing else would end the sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>
#include <vector>

#include "frame/eventsink.h"
#include "frame/messageq.h"
#include "frame_helpers.h"

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

namespace {
// Records the pauses and resumes a queue asks for.
struct RecordingFlowControl : ZEPFlowControl {
  std::vector<std::tuple<int, uint32_t, bool>> calls;
  int SetFCPaused(int sock, uint32_t gen, bool paused) override {
    calls.emplace_back(sock, gen, paused);
    return 0;
  }
};

CTCPEvent* SocketEvent(int sock, uint32_t gen) {
  CTCPEvent* e = new CTCPEvent;
  e->SetSocket(sock);
  e->SetGeneration(gen);
  return e;
}
}  // namespace

TEST(QueueGenerations, EventsOfAClosedSocketNeitherPauseNorResumeItsSuccessor) {
  RecordingFlowControl fc;
  {
    CMessageQueue q;
    q.SetFrame(&fc);
    q.SetTCPEventHWM(3);
    for (int i = 0; i < 3; ++i) {
      SmartPtr<CTCPEvent> e(SocketEvent(7, 1));
      q.Enqueue(e.Get(), true);
    }
    ASSERT_EQ(1u, fc.calls.size());
    EXPECT_EQ(std::make_tuple(7, 1u, true), fc.calls[0]);
    // The number 7 now belongs to generation 2: its events are counted apart
    // and do not reach the mark of the old ones.
    for (int i = 0; i < 2; ++i) {
      SmartPtr<CTCPEvent> e(SocketEvent(7, 2));
      q.Enqueue(e.Get(), true);
    }
    EXPECT_EQ(1u, fc.calls.size());
    EXPECT_EQ(5, q.GetTCPCount(7));
    // Draining the old events resumes generation 1 only.
    for (int i = 0; i < 5; ++i) {
      CEvent* e = q.Dequeue();  // the queue's reference comes with it
      ASSERT_NE(nullptr, e);
      e->downcount();
    }
    ASSERT_EQ(2u, fc.calls.size());
    EXPECT_EQ(std::make_tuple(7, 1u, false), fc.calls[1]);
  }
}

TEST(QueueGenerations, SelectiveReceiveIsWokenByTheEnqueueNotByAPoll) {
  CMessageQueue q;
  std::atomic<CEvent*> got{nullptr};
  std::thread waiter([&] { got.store(q.WaitMsg(ZEP_EVENT_USER, 30)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SmartPtr<CTimerEvent> other(new CTimerEvent);
  q.Enqueue(other.Get(), true);  // wakes the waiter, which keeps waiting
  SmartPtr<CUserEvent> wanted(new CUserEvent);
  q.Enqueue(wanted.Get(), true);
  waiter.join();  // would take 30 s without the wake-up
  EXPECT_EQ(wanted.Get(), got.load());
  got.load()->downcount();  // the queue's reference came with it
  EXPECT_EQ(1, q.GetTimeEventCount());
}
