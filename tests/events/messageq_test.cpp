#include "events/messageq.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "base/lockguard.h"
#include "events/eventsink.h"
#include "events/timerrecord.h"
#include "support/flowrecorder.h"

namespace {

using Clock = std::chrono::steady_clock;

// Test pools stand in for the frame's; queues hold references, so every test
// drains its queue before the pools go away.
struct Pools {
  CTCPEvent::Pool tcp;
  CTimerEvent::Pool timer;
  CUserEvent::Pool user;
  CTCPEvent* Tcp(int sock) {
    CTCPEvent* e = CTCPEvent::Instance(&tcp);
    e->SetSocket(sock);
    return e;
  }
  CTimerEvent* Tick(TimeEvent_tag* rec) {
    CTimerEvent* e = CTimerEvent::Instance(&timer);
    e->SetTimerID(rec);
    e->SetTimerSerial(rec->GetSerial());
    return e;
  }
  CUserEvent* User(int tag) {
    CUserEvent* e = CUserEvent::Instance(&user);
    e->SetTag(tag);
    return e;
  }
};

void Drop(CEvent* e) {
  ASSERT_NE(nullptr, e);
  e->downcount();
}

}  // namespace

// The 100th queued event of one socket pauses it once; the 101st does not ask
// again; taking events out until 99 remain resumes it once. A socket's record
// goes with its last event, and a new event starts a fresh, unpaused record.
TEST(MessageQueue, SocketFlowControlPausesOnceAndResumesBelowTheMark) {
  Pools p;
  CMessageQueue q;  // no frame: the pause requests go nowhere but are counted
  for (int i = 0; i < 99; ++i) q.Enqueue(p.Tcp(5), true);
  q.Enqueue(p.Tcp(6), true);  // another socket is counted apart
  EXPECT_EQ(0u, q.GetFlowStats().nSocketPauses);
  q.Enqueue(p.Tcp(5), true);  // the 100th of socket 5
  EXPECT_EQ(1u, q.GetFlowStats().nSocketPauses);
  q.Enqueue(p.Tcp(5), true);  // the 101st
  EXPECT_EQ(1u, q.GetFlowStats().nSocketPauses);
  EXPECT_EQ(101, q.GetTCPCount(5));

  Drop(q.Dequeue());  // 100 left: still at the mark
  EXPECT_EQ(0u, q.GetFlowStats().nSocketResumes);
  Drop(q.Dequeue());  // 99 left
  EXPECT_EQ(1u, q.GetFlowStats().nSocketResumes);
  while (CEvent* e = q.Dequeue()) e->downcount();
  EXPECT_EQ(1u, q.GetFlowStats().nSocketResumes);
  EXPECT_EQ(0u, p.tcp.GetCount());

  // Fresh record: 99 more events do not pause, the 100th does.
  for (int i = 0; i < 99; ++i) q.Enqueue(p.Tcp(5), true);
  EXPECT_EQ(1u, q.GetFlowStats().nSocketPauses);
  q.Enqueue(p.Tcp(5), true);
  EXPECT_EQ(2u, q.GetFlowStats().nSocketPauses);
  q.Fini(false);
  EXPECT_EQ(0u, p.tcp.GetCount());
}

TEST(MessageQueue, LowerMarkPausesEarlier) {
  Pools p;
  CMessageQueue q;
  q.SetTCPEventHWM(20);
  for (int i = 0; i < 19; ++i) q.Enqueue(p.Tcp(3), true);
  EXPECT_EQ(0u, q.GetFlowStats().nSocketPauses);
  q.Enqueue(p.Tcp(3), true);
  EXPECT_EQ(1u, q.GetFlowStats().nSocketPauses);
  q.Fini(false);
}

// A watch of 3 admits three events of its type, refuses the fourth (which is
// then not referenced), and admits another after one was taken out.
TEST(MessageQueue, WatchCapsOneTypeAndFreesSlotsOnReceive) {
  Pools p;
  CMessageQueue q;
  q.AddEventWatch(ZEP_EVENT_USER, 3);
  q.AddEventWatch(ZEP_EVENT_USER, 10);  // the first watch stays
  q.AddEventWatch(ZEP_EVENT_QUIT, 0);   // no effect
  for (int i = 0; i < 3; ++i) q.Enqueue(p.User(i), true);
  SmartPtr<CUserEvent> fourth(p.User(3));
  q.Enqueue(fourth.Get(), true);
  EXPECT_EQ(1, fourth->GetRefCount());  // only ours: refused
  EXPECT_EQ(1u, q.GetFlowStats().nRefused);
  EXPECT_EQ(3, q.GetCount());
  // Other types pass freely.
  q.Enqueue(p.Tcp(1), true);
  EXPECT_EQ(4, q.GetCount());
  Drop(q.Dequeue());
  q.Enqueue(fourth.Get(), true);
  EXPECT_EQ(2, fourth->GetRefCount());
  EXPECT_EQ(4, q.GetCount());
  {
    // Refused again; the producer's own reference returns it to the pool.
    SmartPtr<CUserEvent> fifth(p.User(5));
    q.Enqueue(fifth.Get(), true);
    EXPECT_EQ(4, q.GetCount());
  }
  q.Fini(false);
  fourth.Release();
  EXPECT_EQ(0u, p.user.GetCount());
}

TEST(MessageQueue, HeadInsertionIsReceivedFirst) {
  Pools p;
  CMessageQueue q;
  q.Enqueue(p.User(1), true);
  q.Enqueue(p.User(2), true);
  q.Enqueue(p.User(0), false);
  for (int want = 0; want < 3; ++want) {
    CEvent* e = q.WaitMsg();
    EXPECT_EQ(want, CUserEvent::Narrow(e)->GetTag());
    e->downcount();
  }
  EXPECT_EQ(nullptr, q.Peek());
}

// A selective receive of socket events (WaitMsg(ZEP_EVENT_TCP, 1)) on a queue
// holding only timer events returns a socket event pushed during the wait as
// soon as it arrives, and leaves the timer events in place; with nothing of
// that type it gives up after the time-out. The time-out is in whole seconds,
// so 1 s is the shortest wait that is not a single scan.
TEST(MessageQueue, SelectiveReceiveWithTimeOut) {
  Pools p;
  TimeEvent_tag rec;
  rec.Arm();
  CMessageQueue q;
  q.Enqueue(p.Tick(&rec), true);
  q.Enqueue(p.Tick(&rec), true);
  Clock::time_point pushedAt;
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pushedAt = Clock::now();
    q.Enqueue(p.Tcp(7), true);
  });
  auto t0 = Clock::now();
  CEvent* e = q.WaitMsg(ZEP_EVENT_TCP, 1);
  auto returnedAt = Clock::now();
  producer.join();
  ASSERT_NE(nullptr, CTCPEvent::Narrow(e));
  EXPECT_GE(returnedAt - t0, std::chrono::milliseconds(150));
  // Taken when it arrived, not at the end of the time-out.
  EXPECT_LT(returnedAt - pushedAt, std::chrono::milliseconds(700));
  e->downcount();
  EXPECT_EQ(2, q.GetTimeEventCount());

  t0 = Clock::now();
  EXPECT_EQ(nullptr, q.WaitMsg(ZEP_EVENT_TCP, 1));
  auto waited = Clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(950));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  // A time-out of 0 scans once.
  t0 = Clock::now();
  EXPECT_EQ(nullptr, q.WaitMsg(ZEP_EVENT_USER, 0));
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
  Drop(q.WaitMsg(ZEP_EVENT_TIMER, 0));
  EXPECT_EQ(1, q.GetTimeEventCount());
  q.Fini(false);
}

// The semaphore may hold releases for events a selective receive took; a
// plain WaitMsg on the then empty queue must still block.
TEST(MessageQueue, BlockingReceiveAbsorbsLeftoverWakeups) {
  Pools p;
  CMessageQueue q;
  q.Enqueue(p.User(1), true);
  q.Enqueue(p.User(2), true);
  Drop(q.WaitMsg(ZEP_EVENT_USER, 0));
  Drop(q.Dequeue());
  std::atomic<bool> got{false};
  std::thread consumer([&] {
    CEvent* e = q.WaitMsg();
    EXPECT_EQ(3, CUserEvent::Narrow(e)->GetTag());
    e->downcount();
    got.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  q.Enqueue(p.User(3), true);
  consumer.join();
  EXPECT_TRUE(got.load());
}

// Ticks pause their timer at the mark and resume it below. A timer deleted
// while its ticks still wait must not be touched when they are taken out,
// even when its record slot now carries another timer.
TEST(MessageQueue, TimerPauseNeverReachesAReusedRecord) {
  Pools p;
  CMessageQueue q;
  TimeEvent_tag rec;
  rec.Arm();
  for (int i = 0; i < 100; ++i) q.Enqueue(p.Tick(&rec), true);
  EXPECT_TRUE(rec.IsPaused());
  EXPECT_EQ(1u, q.GetFlowStats().nTimerPauses);

  // The timer is deleted and its slot armed again for a new timer, whose own
  // ticks pile up to the mark too.
  rec.Disarm();
  rec.Arm();
  EXPECT_FALSE(rec.IsPaused());
  for (int i = 0; i < 100; ++i) q.Enqueue(p.Tick(&rec), true);
  EXPECT_TRUE(rec.IsPaused());
  EXPECT_EQ(2u, q.GetFlowStats().nTimerPauses);

  // Taking out all the old ticks resumes nothing: the new timer still has
  // 100 waiting.
  for (int i = 0; i < 100; ++i) Drop(q.Dequeue());
  EXPECT_TRUE(rec.IsPaused());
  EXPECT_EQ(0u, q.GetFlowStats().nTimerResumes);
  Drop(q.Dequeue());
  EXPECT_FALSE(rec.IsPaused());
  EXPECT_EQ(1u, q.GetFlowStats().nTimerResumes);
  q.Fini(false);
  EXPECT_EQ(0u, p.timer.GetCount());
}

// A node with more timers than the queue has count slots: every timer pauses
// at its own mark and resumes as its own count falls below it, however the
// ticks interleave; a timer re-armed with its old ticks still queued counts
// only its new ticks.
TEST(MessageQueue, EveryTimerOfANodeFollowsItsOwnCount) {
  const int kTicks[] = {2, 3, 5, 3, 1, 4, 3, 6};  // queued per timer; the mark is 3
  const int kTimers = static_cast<int>(sizeof kTicks / sizeof kTicks[0]);
  static_assert(sizeof kTicks / sizeof kTicks[0] > CMessageQueue::kSlots, "beyond the slots");
  Pools p;
  CMessageQueue q;
  q.SetTimerEventHWM(3);
  std::vector<TimeEvent_tag> recs(kTimers);
  std::vector<int> queued(kTimers, 0);
  for (TimeEvent_tag& r : recs) r.Arm();
  for (int round = 0; round < 6; ++round)
    for (int t = 0; t < kTimers; ++t)
      if (round < kTicks[t]) {
        q.Enqueue(p.Tick(&recs[t]), true);
        ++queued[t];
      }
  // Timer 7 is re-armed: its 6 ticks are stale, and 2 new ones stay below the mark.
  recs[7].Arm();
  for (int i = 0; i < 2; ++i) q.Enqueue(p.Tick(&recs[7]), true);
  EXPECT_FALSE(recs[7].IsPaused());
  q.Enqueue(p.Tick(&recs[7]), true);
  EXPECT_TRUE(recs[7].IsPaused());
  queued[7] = 3;
  for (int t = 0; t < kTimers; ++t) EXPECT_EQ(queued[t] >= 3, recs[t].IsPaused()) << t;
  EXPECT_EQ(7u, q.GetFlowStats().nTimerPauses);  // 6 at first, then the re-armed one
  while (CEvent* e = q.Dequeue()) {
    CTimerEvent* tick = CTimerEvent::Narrow(e);
    ASSERT_NE(nullptr, tick);
    const int t = static_cast<int>(tick->GetTimerID() - recs.data());
    if (tick->GetTimerSerial() == recs[t].GetSerial()) --queued[t];
    e->downcount();
    EXPECT_EQ(queued[t] >= 3, recs[t].IsPaused()) << t;
  }
  EXPECT_EQ(6u, q.GetFlowStats().nTimerResumes);  // not timer 7's first arming
}

// Four producers flood one queue at once, each with its own socket and a
// sequence number in the tag of its user events, while the receiver drops
// each event as it goes (the pools take them back on their lock-free return
// stacks while the producers allocate). Each producer's events arrive in its
// own order, nothing is lost or doubled, every socket pause has its resume,
// and every event is back in its pool at the end.
TEST(MessageQueue, ManyProducersKeepTheirOrderAndCounts) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 4000;
  Pools p;
  CMessageQueue q;
  q.SetTCPEventHWM(16);  // low, so the sockets pause and resume many times
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; ++t) {
    producers.emplace_back([&p, &q, t] {
      for (int i = 0; i < kPerProducer; ++i) {
        if (i % 2 == 0) {
          q.Enqueue(p.Tcp(100 + t), true);
        } else {
          CUserEvent* e = p.User(t * 1000000 + i);
          q.Enqueue(e, true);
        }
      }
    });
  }
  int lastUser[kProducers];
  int tcp[kProducers] = {};
  for (int& v : lastUser) v = -1;
  int bad = 0;
  for (int n = 0; n < kProducers * kPerProducer; ++n) {
    CEvent* e = q.WaitMsg();
    if (CUserEvent* u = CUserEvent::Narrow(e)) {
      const int t = u->GetTag() / 1000000, i = u->GetTag() % 1000000;
      if (t < 0 || t >= kProducers || i <= lastUser[t]) ++bad;
      if (t >= 0 && t < kProducers) lastUser[t] = i;
    } else if (CTCPEvent* s = CTCPEvent::Narrow(e)) {
      const int t = s->GetSocket() - 100;
      if (t >= 0 && t < kProducers) ++tcp[t];
    }
    e->downcount();
  }
  for (auto& th : producers) th.join();
  EXPECT_EQ(0, bad);
  EXPECT_EQ(nullptr, q.Dequeue());
  for (int t = 0; t < kProducers; ++t) {
    EXPECT_EQ(kPerProducer - 1, lastUser[t]);
    EXPECT_EQ(kPerProducer / 2, tcp[t]);
    EXPECT_EQ(0, q.GetTCPCount(100 + t));
  }
  const CMessageQueue::FlowStats st = q.GetFlowStats();
  EXPECT_EQ(st.nSocketPauses, st.nSocketResumes);
  {
    ZEPLockGuard lock(p.tcp.GetMutex());
    EXPECT_EQ(0u, p.tcp.GetCount());
  }
  ZEPLockGuard lock(p.user.GetMutex());
  EXPECT_EQ(0u, p.user.GetCount());
}

// An event that sits in two queues (or twice in one) at once: the first
// place uses the event's own link, the others links of their own. Taking the
// places out in any order, by head, selective receive or Fini, leaves each
// queue's order and the event's references right, and the event's own link
// is free again for the next queue.
TEST(MessageQueue, OneEventInSeveralPlacesAtOnce) {
  Pools p;
  CMessageQueue q1, q2;
  CUserEvent* shared = p.User(7);
  CTCPEvent* other = p.Tcp(3);
  q1.Enqueue(shared, true);
  q1.Enqueue(other, true);
  q1.Enqueue(shared, true);  // twice in q1: head and tail
  q2.Enqueue(shared, false);
  EXPECT_EQ(3, shared->GetRefCount());
  EXPECT_EQ(3, q1.GetCount());

  // The socket event in the middle goes first; the two places of the shared
  // event close up around it.
  CEvent* mid = q1.WaitMsg(ZEP_EVENT_TCP, 0);
  EXPECT_EQ(other, mid);
  Drop(mid);
  EXPECT_EQ(0, q1.GetTCPCount(3));
  EXPECT_EQ(shared, q1.Peek());
  Drop(q1.Dequeue());
  EXPECT_EQ(shared, q1.Dequeue());
  shared->downcount();
  EXPECT_EQ(nullptr, q1.Dequeue());
  EXPECT_EQ(1, shared->GetRefCount());

  // q1 can take it again while q2 still holds it.
  q1.Enqueue(shared, true);
  EXPECT_EQ(2, shared->GetRefCount());
  q2.Fini(false);
  EXPECT_EQ(1, shared->GetRefCount());
  EXPECT_EQ(shared, q1.WaitMsg());
  shared->downcount();
  EXPECT_EQ(0u, p.user.GetCount());
  EXPECT_EQ(0u, p.tcp.GetCount());
}

// ------------------------------------------ generations and selective wake-up
// A waiting receiver is woken by the enqueue, never by a poll: a missing
// wake-up fails the bounded wait below.

// Records the pauses and resumes a queue asks for.
using zeptest::RecordingFlowControl;
using zeptest::SocketEvent;

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
