#include "frame/messageq.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame/timerrecord.h"

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
