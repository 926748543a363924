// CMessageQueue: the flood episodes of its sockets and timers, closed once
// they have been quiet, and the log lines about pauses and floods, which the
// queue decides on under its locks and writes once none is held.
#include "events/messageq_flood.h"

#include <new>

#include "base/lockguard.h"
#include "events/messageq.h"
#include "log/zeplog.h"

namespace zepqueue_detail {

std::atomic<uint64_t> g_FloodPauses{0};
std::atomic<uint64_t> g_FloodEpisodes{0};
std::atomic<uint64_t> g_FloodEvents{0};
std::atomic<uint64_t> g_FloodOpen{0};

namespace {
// A line written about a pause or a flood waits here until no frame lock is
// held: the queue decides on it under its flow lock, which its producers take
// inside the ticker, route and node-list locks, and a log output that stalls
// must not stall delivery. Newest first, taken whole by FlushLog.
struct PendingLine {
  PendingLine* m_pNext = nullptr;
  const char* m_pFile = nullptr;
  int m_nLine = 0;
  LOG_TYPE_ m_eLevel = LOG_INFO;
  ZEPString m_Text;
};
std::atomic<PendingLine*> g_PendingLines{nullptr};
}  // namespace

void LogLater(const char* file, int line, LOG_TYPE_ level, const ZEPString& text) {
  PendingLine* p = new (std::nothrow) PendingLine;
  if (p == nullptr) return;  // a line is not worth failing an enqueue for
  p->m_pFile = file;
  p->m_nLine = line;
  p->m_eLevel = level;
  p->m_Text = text;
  PendingLine* head = g_PendingLines.load(std::memory_order_relaxed);
  do {
    p->m_pNext = head;
  } while (!g_PendingLines.compare_exchange_weak(head, p, std::memory_order_release,
                                                 std::memory_order_relaxed));
}

}  // namespace zepqueue_detail

using zepqueue_detail::g_FloodEpisodes;
using zepqueue_detail::g_FloodEvents;
using zepqueue_detail::g_FloodOpen;
using zepqueue_detail::g_FloodPauses;
using zepqueue_detail::g_PendingLines;
using zepqueue_detail::MonoSec;
using zepqueue_detail::PendingLine;
using zepqueue_detail::Reversed;

void CMessageQueue::FlushLog() {
  if (g_PendingLines.load(std::memory_order_relaxed) == nullptr) return;
  PendingLine* ordered = Reversed(g_PendingLines.exchange(nullptr, std::memory_order_acquire));
  while (ordered != nullptr) {
    PendingLine* next = ordered->m_pNext;
    ZEPLogLine(ordered->m_pFile, ordered->m_nLine, ordered->m_eLevel, ordered->m_Text);
    delete ordered;
    ordered = next;
  }
}

void CMessageQueue::CloseEpisodesLocked(int64_t nowSec, bool all) {
  if (OpenEpisodesLocked() == 0) return;
  for (int k = kTCP; k < kKinds; ++k)
    for (int i = 0; i < kSlots; ++i)
      HarvestLocked(static_cast<Kind>(k), &m_Slots[k][i], m_SlotState[k][i]);
  const char* why = all ? "queue closed" : "quiet for 10 s";
  for (int pass = 0; pass < 2; ++pass) {
    const bool timers = pass == 1;
    std::vector<ZEPFloodEpisodes::Episode> closed;
    (timers ? m_TimerEpisodes : m_Episodes).Close(nowSec, all, &closed);
    for (const ZEPFloodEpisodes::Episode& ep : closed) {
      const int kFirst = timers ? kTimer : kTCP;
      const int kLast = timers ? kTimer : kCmd;
      for (int k = kFirst; k <= kLast; ++k) {
        for (int i = 0; i < kSlots; ++i) {
          const SlotState& st = m_SlotState[k][i];
          if (EpisodeSocket(static_cast<Kind>(k), st) == ep.m_nSocket &&
              EpisodeGeneration(static_cast<Kind>(k), st) == ep.m_nGeneration)
            m_Slots[k][i].m_bInEpisode.store(false, std::memory_order_relaxed);
        }
      }
      const long long secs = static_cast<long long>(ep.m_nLastSec - ep.m_nFirstSec);
      if (timers) {
        const uint64_t serial =
            (static_cast<uint64_t>(static_cast<uint32_t>(ep.m_nSocket)) << 32) | ep.m_nGeneration;
        ZEP_QUEUE_LOG_LATER(
            LOG_INFO, "message queue: timer "
                          << static_cast<unsigned long>(serial) << " flood over (" << why
                          << "): " << static_cast<unsigned long long>(ep.m_nPauses) << " pauses, "
                          << static_cast<unsigned long long>(ep.m_nEvents) << " events in " << secs
                          << " s");
        continue;
      }
      g_FloodOpen.fetch_sub(1, std::memory_order_relaxed);
      ZEP_QUEUE_LOG_LATER(
          LOG_INFO, "message queue: socket "
                        << static_cast<unsigned long>(ep.m_nSocket) << " flood over (" << why
                        << "): " << static_cast<unsigned long long>(ep.m_nPauses) << " pauses, "
                        << static_cast<unsigned long long>(ep.m_nEvents) << " events in " << secs
                        << " s");
    }
  }
  m_nOpenEpisodes.store(static_cast<int>(OpenEpisodesLocked()), std::memory_order_relaxed);
  m_nOpenTimerEpisodes.store(static_cast<int>(m_TimerEpisodes.OpenCount()),
                             std::memory_order_relaxed);
}

void CMessageQueue::MaybeCloseEpisodes() {
  if (m_nOpenEpisodes.load(std::memory_order_relaxed) == 0) return;
  const int64_t now = MonoSec();
  if (now < m_nNextEpisodeCheck.load(std::memory_order_relaxed)) return;
  m_nNextEpisodeCheck.store(now + 1, std::memory_order_relaxed);
  ZEPLockGuard lock(m_FlowLock);
  CloseEpisodesLocked(now, false);
}

void CMessageQueue::CloseQuietEpisodes(int64_t nowSec) {
  {
    ZEPLockGuard lock(m_FlowLock);
    CloseEpisodesLocked(nowSec < 0 ? MonoSec() : nowSec, false);
  }
  FlushLog();
}

CMessageQueue::FloodTotals CMessageQueue::GetFloodTotals() {
  FloodTotals t;
  t.nPauses = g_FloodPauses.load(std::memory_order_relaxed);
  t.nEpisodes = g_FloodEpisodes.load(std::memory_order_relaxed);
  t.nEvents = g_FloodEvents.load(std::memory_order_relaxed);
  t.nOpen = g_FloodOpen.load(std::memory_order_relaxed);
  return t;
}
