// The producer side of the queue takes no lock: these tests drive it from
// many threads at once (run them under ThreadSanitizer too) and check what
// the receiver sees, and the rule that groups a socket's pauses into flood
// episodes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/zepmultithread_clock.h"
#include "events/floodepisode.h"
#include "events/messageq.h"
#include "events/timerrecord.h"

namespace {

// Checks that pauses and resumes of every socket generation alternate,
// starting with a pause.
struct AlternationCheck : ZEPFlowControl {
  std::mutex mu;
  std::map<std::pair<int, uint32_t>, bool> paused;
  int pauses = 0;
  int faults = 0;
  int SetFCPaused(int sock, uint32_t gen, bool p) override {
    std::lock_guard<std::mutex> lock(mu);
    bool& now = paused[{sock, gen}];
    if (now == p) ++faults;
    now = p;
    pauses += p ? 1 : 0;
    return 0;
  }
  bool AnyPaused() {
    std::lock_guard<std::mutex> lock(mu);
    for (auto& kv : paused)
      if (kv.second) return true;
    return false;
  }
};

// A socket event that names its producer and its number in that producer's
// stream.
CTCPEvent* Numbered(CTCPEvent::Pool* pool, int sock, uint32_t gen, int producer, int seq) {
  CTCPEvent* e = CTCPEvent::Instance(pool);
  e->SetSocket(sock);
  e->SetGeneration(gen);
  const int id[2] = {producer, seq};
  std::memcpy(e->GetRawBuffer(), id, sizeof(id));
  e->SetRecvSize(sizeof(id));
  return e;
}

void IdOf(CEvent* e, int* producer, int* seq) {
  int id[2];
  std::memcpy(id, CTCPEvent::Narrow(e)->GetBuffer(), sizeof(id));
  *producer = id[0];
  *seq = id[1];
}

}  // namespace

// Six producers, two to a socket, flood one queue with a low mark, so the
// sockets pause and resume all the time; halfway through, one socket "closes"
// and its number comes back as a new generation. The receiver takes events
// one at a time, now and then pushes one back at the head (it must come out
// next), and sometimes receives selectively. Every event arrives once, each
// producer's in its order, and the pauses of each generation alternate and
// end resumed.
TEST(HandOffStress, ManyProducersOneReceiverKeepOrderAndFlowControl) {
  const int kProducers = 6;
  const int kEach = 3000;
  CTCPEvent::Pool pool;
  AlternationCheck fc;
  std::vector<std::vector<int>> got(kProducers);
  {
    CMessageQueue q;
    q.SetFrame(&fc);
    q.SetTCPEventHWM(8);
    std::atomic<int> go{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        const int sock = 10 + p / 2;
        while (go.load() == 0) std::this_thread::yield();
        for (int i = 0; i < kEach; ++i) {
          // Socket 11's number is reused half-way: a new generation.
          const uint32_t gen = (sock == 11 && i >= kEach / 2) ? 2 : 1;
          SmartPtr<CTCPEvent> e(Numbered(&pool, sock, gen, p, i));
          q.Enqueue(e.Get(), true);
        }
      });
    }
    go.store(1);
    int total = 0;
    int turn = 0;
    while (total < kProducers * kEach) {
      CEvent* e = (++turn % 97 == 0) ? q.WaitMsg(ZEP_EVENT_TCP, 1) : q.WaitMsg();
      if (e == nullptr) continue;
      if (turn % 13 == 0) {
        // Back to the head: it must be what the next receive returns.
        q.Enqueue(e, false);
        e->downcount();
        CEvent* again = q.WaitMsg();
        ASSERT_EQ(e, again);
        e = again;
      }
      int producer, seq;
      IdOf(e, &producer, &seq);
      got[producer].push_back(seq);
      e->downcount();
      ++total;
    }
    for (std::thread& t : producers) t.join();
    EXPECT_EQ(nullptr, q.Dequeue());
    EXPECT_EQ(0, q.GetCount());
    const CMessageQueue::FlowStats st = q.GetFlowStats();
    EXPECT_EQ(st.nSocketPauses, st.nSocketResumes);
  }
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(static_cast<size_t>(kEach), got[p].size()) << "producer " << p;
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(i, got[p][i]) << "producer " << p;
  }
  EXPECT_EQ(0, fc.faults);
  EXPECT_FALSE(fc.AnyPaused());
  EXPECT_GT(fc.pauses, 0);
  EXPECT_EQ(0u, pool.GetCount());
}

// More sockets than the count table holds: the ones beyond it are counted in
// records, and every source still pauses at its mark and resumes below it.
TEST(HandOffStress, SourcesBeyondTheSlotTablePauseAndResumeToo) {
  CTCPEvent::Pool pool;
  AlternationCheck fc;
  {
    CMessageQueue q;
    q.SetFrame(&fc);
    q.SetTCPEventHWM(3);
    const int kSockets = CMessageQueue::kSlots * 3;
    for (int round = 0; round < 3; ++round)
      for (int s = 0; s < kSockets; ++s) q.Enqueue(Numbered(&pool, 100 + s, 1, 0, 0), true);
    EXPECT_EQ(kSockets, fc.pauses);
    while (CEvent* e = q.Dequeue()) e->downcount();
    EXPECT_FALSE(fc.AnyPaused());
    EXPECT_EQ(0, fc.faults);
  }
  EXPECT_EQ(0u, pool.GetCount());
}

// Timers of one node, more than the count table holds, each ticked by its
// own thread that skips ticks while the timer is paused (as the ticker
// does), against a receiver draining the queue: the crossings race, and
// still every pause is matched by a resume and every timer ends running.
TEST(HandOffStress, TimersRacingTheReceiverEndResumed) {
  const int kTimers = CMessageQueue::kSlots + 2;
  const int kEach = 20000;
  CTimerEvent::Pool pool;
  std::vector<TimeEvent_tag> recs(kTimers);
  for (TimeEvent_tag& r : recs) r.Arm();
  {
    CMessageQueue q;
    q.SetTimerEventHWM(4);
    std::atomic<int> running{kTimers};
    std::vector<std::thread> tickers;
    for (int t = 0; t < kTimers; ++t) {
      tickers.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          if (recs[t].IsPaused()) continue;
          SmartPtr<CTimerEvent> tick(CTimerEvent::Instance(&pool));
          tick->SetTimerID(&recs[t]);
          tick->SetTimerSerial(recs[t].GetSerial());
          q.Enqueue(tick.Get(), true);
        }
        running.fetch_sub(1);
      });
    }
    while (running.load() > 0 || q.GetCount() > 0)
      if (CEvent* e = q.Dequeue()) e->downcount();
    for (std::thread& t : tickers) t.join();
    const CMessageQueue::FlowStats st = q.GetFlowStats();
    EXPECT_GT(st.nTimerPauses, 0u);
    EXPECT_EQ(st.nTimerPauses, st.nTimerResumes);
    for (int t = 0; t < kTimers; ++t) EXPECT_FALSE(recs[t].IsPaused()) << t;
  }
  EXPECT_EQ(0u, pool.GetCount());
}

// The episode rule, one step per row: a pause opens an episode unless one is
// open for that socket generation and less than 10 s old; an episode closes
// after 10 s without a pause.
TEST(FloodEpisodes, PausesGroupUntilTenQuietSeconds) {
  struct Step {
    const char* what;
    int sock;
    uint32_t gen;
    int64_t at;
    bool close;       // a close at `at` instead of a pause
    bool opens;       // pause: it opens an episode
    int closed;       // close: episodes it closes
    uint64_t pauses;  // close: pauses of the first closed one
    uint64_t events;  // close: its events
  };
  const Step steps[] = {
      {"first pause opens", 7, 1, 100, false, true, 0, 0, 0},
      {"a pause 5 s later joins it", 7, 1, 105, false, false, 0, 0, 0},
      {"another generation is apart", 7, 2, 106, false, true, 0, 0, 0},
      {"9 s after the last is not quiet yet", 7, 1, 114, false, false, 0, 0, 0},
      {"10 s after gen 2's pause closes it", 0, 0, 116, true, false, 1, 1, 100},
      {"one second short: nothing closes", 0, 0, 123, true, false, 0, 0, 0},
      {"10 s after gen 1's last pause", 0, 0, 124, true, false, 1, 3, 250},
      {"a later pause opens a new one", 7, 1, 125, false, true, 0, 0, 0},
  };
  ZEPFloodEpisodes ep;
  for (const Step& s : steps) {
    if (s.close) {
      std::vector<ZEPFloodEpisodes::Episode> closed;
      ep.Close(s.at, false, &closed);
      ASSERT_EQ(static_cast<size_t>(s.closed), closed.size()) << s.what;
      if (s.closed > 0) {
        EXPECT_EQ(s.pauses, closed[0].m_nPauses) << s.what;
        EXPECT_EQ(s.events, closed[0].m_nEvents) << s.what;
      }
    } else {
      EXPECT_EQ(s.opens, ep.OnPause(s.sock, s.gen, s.at, 100)) << s.what;
      ep.AddEvents(s.sock, s.gen, s.sock == 7 && s.gen == 1 ? 50 : 0);
    }
  }
  EXPECT_EQ(1u, ep.OpenCount());
  std::vector<ZEPFloodEpisodes::Episode> rest;
  ep.Close(0, true, &rest);
  EXPECT_EQ(1u, rest.size());
}

// An owner's own quiet period, in whole seconds, at least one: a pause in its
// last second joins the episode, which closes a whole period after it.
TEST(FloodEpisodes, OwnersQuietPeriodEndsTheEpisode) {
  const struct {
    int64_t asked;
    int64_t taken;
  } cases[] = {{3, 3}, {1, 1}, {0, 1}, {-5, 1}, {20, 20}};
  for (const auto& c : cases) {
    ZEPFloodEpisodes ep(c.asked);
    EXPECT_EQ(c.taken, ep.GetQuietSec());
    ASSERT_TRUE(ep.OnPause(1, 0, 100, 0));
    const int64_t second = 100 + c.taken - 1;
    EXPECT_FALSE(ep.OnPause(1, 0, second, 0)) << c.asked;
    std::vector<ZEPFloodEpisodes::Episode> closed;
    ep.Close(second + c.taken - 1, false, &closed);
    EXPECT_TRUE(closed.empty()) << c.asked;
    ep.Close(second + c.taken, false, &closed);
    ASSERT_EQ(1u, closed.size()) << c.asked;
    EXPECT_EQ(2u, closed[0].m_nPauses) << c.asked;
  }
}

// Through the queue: a socket that pauses again and again makes one episode;
// its events are counted; it closes once the socket has been quiet.
TEST(FloodEpisodes, RepeatedPausesOfOneSocketAreOneEpisode) {
  CTCPEvent::Pool pool;
  const CMessageQueue::FloodTotals before = CMessageQueue::GetFloodTotals();
  {
    CMessageQueue q;
    q.SetTCPEventHWM(4);
    for (int round = 0; round < 5; ++round) {
      for (int i = 0; i < 4; ++i) q.Enqueue(Numbered(&pool, 9, 1, 0, i), true);
      while (CEvent* e = q.Dequeue()) e->downcount();
    }
    const CMessageQueue::FlowStats st = q.GetFlowStats();
    EXPECT_EQ(5u, st.nSocketPauses);
    EXPECT_EQ(1u, st.nEpisodes);
    const CMessageQueue::FloodTotals mid = CMessageQueue::GetFloodTotals();
    EXPECT_EQ(5u, mid.nPauses - before.nPauses);
    EXPECT_EQ(1u, mid.nEpisodes - before.nEpisodes);
    EXPECT_EQ(before.nOpen + 1, mid.nOpen);
    q.CloseQuietEpisodes(ZEPMonoMs() / 1000 + ZEPFloodEpisodes::kQuietSec);
    const CMessageQueue::FloodTotals after = CMessageQueue::GetFloodTotals();
    EXPECT_EQ(before.nOpen, after.nOpen);
    EXPECT_EQ(20u, after.nEvents - before.nEvents);
  }
  EXPECT_EQ(0u, pool.GetCount());
}
