// Flow control at a queue's edges: what a queue leaves behind when it ends,
// which watches it refuses, command events and their socket generation, and
// the lines about pauses, which wait until no queue lock is held.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/lockguard.h"
#include "base/zepmultithread_clock.h"
#include "events/eventsink.h"
#include "events/messageq.h"
#include "events/timerrecord.h"
#include "log/zeplog.h"
#include "support/files.h"
#include "support/flowrecorder.h"
#include "support/logcapture.h"
#include "support/waitfor.h"

namespace {

using Calls = zeptest::RecordingFlowControl;
using zeptest::SocketEvent;
CCmdEvent* Cmd(int sock, uint32_t gen) {
  CCmdEvent* e = new CCmdEvent(nullptr, sock);
  e->SetGeneration(gen);
  return e;
}
CTimerEvent* Tick(TimeEvent_tag* rec) {
  CTimerEvent* e = new CTimerEvent;
  e->SetTimerID(rec);
  e->SetTimerSerial(rec->GetSerial());
  return e;
}
void Offer(CMessageQueue& q, CEvent* e) {
  SmartPtr<CEvent> hold(e);
  q.Enqueue(e, true);
}
void Take(CMessageQueue& q, int n) {
  for (int i = 0; i < n; ++i) {
    CEvent* e = q.Dequeue();
    ASSERT_NE(nullptr, e);
    e->downcount();
  }
}

}  // namespace

// A queue that ends while it holds sources paused resumes them: nothing it
// counted is queued any more, and no later event would ever ask again, so a
// socket or timer would stay paused for good.
TEST(QueueFlowFaults, AQueueThatEndsLiftsItsPauses) {
  Calls fc;
  TimeEvent_tag rec;
  rec.Arm();
  {
    CMessageQueue q;
    q.SetFrame(&fc);
    q.SetTCPEventHWM(3);
    q.SetCmdEventHWM(3);
    q.SetTimerEventHWM(3);
    for (int i = 0; i < 3; ++i) {
      Offer(q, SocketEvent(7, 1));
      Offer(q, Cmd(8, 2));
      Offer(q, Tick(&rec));
    }
    // Socket 9 stays below its mark: the end asks nothing for it.
    Offer(q, SocketEvent(9, 4));
    ASSERT_EQ(2u, fc.calls.size());
    EXPECT_TRUE(rec.IsPaused());
    q.Fini(false);
    ASSERT_EQ(4u, fc.calls.size());
    std::vector<std::tuple<int, uint32_t, bool>> lifted(fc.calls.begin() + 2, fc.calls.end());
    EXPECT_NE(lifted.end(), std::find(lifted.begin(), lifted.end(), std::make_tuple(7, 1u, false)));
    EXPECT_NE(lifted.end(), std::find(lifted.begin(), lifted.end(), std::make_tuple(8, 2u, false)));
    EXPECT_FALSE(rec.IsPaused());
    EXPECT_EQ(2u, q.GetFlowStats().nSocketResumes);
    EXPECT_EQ(1u, q.GetFlowStats().nTimerResumes);
  }
  EXPECT_EQ(4u, fc.calls.size());  // the destructor's Fini finds nothing more
  // The timer's count went with the queue's ticks: the next queue of its
  // node pauses it at its mark again, not earlier and not never.
  CMessageQueue next;
  next.SetTimerEventHWM(3);
  for (int i = 0; i < 2; ++i) Offer(next, Tick(&rec));
  EXPECT_FALSE(rec.IsPaused());
  Offer(next, Tick(&rec));
  EXPECT_TRUE(rec.IsPaused());
  Take(next, 3);
  EXPECT_FALSE(rec.IsPaused());
}

// The kinds under flow control are uncounted per source, never in a watch:
// a watch on one would fill and refuse that kind for good. Such watches are
// refused; a watch on another type caps it as before.
TEST(QueueFlowFaults, EventWatchesOnKindsUnderFlowControlAreRefused) {
  struct Case {
    int type;
    int result;
    int queued;  // of 5 offered with a cap of 2
  };
  const Case cases[] = {
      {ZEP_EVENT_TCP, -1, 5},
      {ZEP_EVENT_CMD, -1, 5},
      {ZEP_EVENT_TIMER, -1, 5},
      {ZEP_EVENT_USER, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    TimeEvent_tag rec;
    rec.Arm();
    CMessageQueue q;
    EXPECT_EQ(c.result, q.AddEventWatch(c.type, 2));
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 5; ++i) {
        CEvent* e = c.type == ZEP_EVENT_TCP     ? static_cast<CEvent*>(SocketEvent(5, 1))
                    : c.type == ZEP_EVENT_CMD   ? static_cast<CEvent*>(Cmd(5, 1))
                    : c.type == ZEP_EVENT_TIMER ? static_cast<CEvent*>(Tick(&rec))
                                                : static_cast<CEvent*>(new CUserEvent);
        Offer(q, e);
      }
      // A second round after draining is taken just like the first.
      ASSERT_EQ(c.queued, q.GetCount());
      Take(q, c.queued);
    }
  }
  CMessageQueue q;
  EXPECT_EQ(-1, q.AddEventWatch(ZEP_EVENT_USER, 0));
}

// Command events pause the socket record they came from, named by its
// generation, at their own mark, and resume it below; one without a
// generation names no record and pauses nothing (generation 0 would reach
// whichever socket has the number now).
TEST(QueueFlowFaults, CommandEventsPauseTheirOwnSocketGeneration) {
  struct Case {
    uint32_t gen;
    bool asks;
  };
  for (const Case c : {Case{6, true}, Case{0, false}}) {
    SCOPED_TRACE(c.gen);
    Calls fc;
    CMessageQueue q;
    q.SetFrame(&fc);
    q.SetCmdEventHWM(4);
    for (int i = 0; i < 3; ++i) Offer(q, Cmd(11, c.gen));
    EXPECT_TRUE(fc.calls.empty());
    Offer(q, Cmd(11, c.gen));  // the 4th: the mark
    Offer(q, Cmd(11, c.gen));  // past it: no second pause
    EXPECT_EQ(5, q.GetCmdEventCount(11));
    EXPECT_EQ(1u, q.GetFlowStats().nSocketPauses);
    Take(q, 2);  // 3 left: below the mark
    EXPECT_EQ(1u, q.GetFlowStats().nSocketResumes);
    if (c.asks) {
      ASSERT_EQ(2u, fc.calls.size());
      EXPECT_EQ(std::make_tuple(11, c.gen, true), fc.calls[0]);
      EXPECT_EQ(std::make_tuple(11, c.gen, false), fc.calls[1]);
    } else {
      EXPECT_TRUE(fc.calls.empty());
    }
    Take(q, 3);
  }
}

// A log output that stalls (here: its lock held elsewhere) must not stall a
// producer at the mark: the lines wait, and the next receive writes them. A
// timer's pauses form episodes like a socket's: the first pause is logged,
// the next ones counted, and one line ends the episode.
TEST(QueueFlowFaults, PauseLinesWaitForNoLockAndTimersLogOncePerEpisode) {
  zeptest::LogCapture log;
  TimeEvent_tag rec;
  const uint64_t serial = rec.Arm();
  CMessageQueue q;
  q.SetTCPEventHWM(3);
  q.SetTimerEventHWM(3);
  std::atomic<bool> done{false};
  {
    ZEPLockGuard stall(g_LogMutex);
    std::thread producer([&] {
      for (int i = 0; i < 3; ++i) {
        Offer(q, SocketEvent(12, 1));
        Offer(q, Tick(&rec));
      }
      done.store(true);
    });
    const bool finished = zeptest::WaitFor([&] { return done.load(); }, 5000);
    stall.Unlock();
    producer.join();
    ASSERT_TRUE(finished) << "a producer at the mark waited for the log";
  }
  Take(q, 1);  // a receive writes the waiting lines
  // Two more timer pauses within the episode: counted, not logged.
  for (int round = 0; round < 2; ++round) {
    while (q.GetTimeEventCount() > 0) {
      CEvent* e = q.Dequeue();
      ASSERT_NE(nullptr, e);
      e->downcount();
    }
    for (int i = 0; i < 3; ++i) Offer(q, Tick(&rec));
  }
  EXPECT_EQ(3u, q.GetFlowStats().nTimerPauses);
  q.CloseQuietEpisodes(ZEPMonoMs() / 1000 + ZEPFloodEpisodes::kQuietSec + 1);
  const std::string text = log.Text();
  const std::string timer = "message queue: timer " + std::to_string(serial);
  EXPECT_EQ(1u, zeptest::CountOf(text, "message queue: socket 12 paused at 3 queued events"))
      << text;
  EXPECT_EQ(1u, zeptest::CountOf(text, timer + " paused at 3 queued events")) << text;
  EXPECT_EQ(1u, zeptest::CountOf(text, timer + " flood over (quiet for 10 s): 3 pauses, 9 events"))
      << text;
  EXPECT_EQ(1u, zeptest::CountOf(text, "message queue: socket 12 flood over (quiet for 10 s)"))
      << text;
  Take(q, q.GetCount());
}
