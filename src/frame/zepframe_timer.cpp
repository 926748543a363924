// The frame's timers: the timer list, the ticker node's pass and the
// record life cycle (AddTicker -> ticks -> count runs out / DelTicker /
// the node quits). Lock order here: ticker lock -> node-list lock -> queue
// lock, never the other way round; the ticker's wake-up lock is taken alone.
//
// Timer deadlines run on the monotonic clock: setting the wall clock neither
// fires every timer at once nor stalls them. The ticker sleeps until the
// earliest one (but passes at least 1 ms apart) instead of looking every
// 10 ms, and a pass looks only at the timers that are due (one FIFO lane of
// deadlines per period, tickerlanes.h), so 10,000 timers cost a pass the few
// that fire, each a pop and a push, not a walk of all of them.
#include <algorithm>
#include <chrono>
#include <functional>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "frame/zepframe.h"

namespace {
// Microseconds: whole milliseconds would let a tick come up to a millisecond
// before its period has passed.
int64_t NowUs() { return ZEPMonoUs(); }

// The shortest sleep of the ticker between two passes.
const int64_t kTickerGrainUs = 1000;
}  // namespace

CNodeTicker::CNodeTicker(ZEPFrame* frame) : CAppNode(frame) {}

void CNodeTicker::doRunNode() {
  for (;;) {
    if (PeekEvent() != nullptr) {
      RecvEvent();
      m_QuitEvent = CQuitEvent::Narrow(Event().Get());
    }
    if (m_QuitEvent) return;
    int64_t next = Frame()->SendTicker();
    Frame()->DestroyQuitApp();
    Frame()->WaitTicker(next);
  }
}

void ZEPFrame::WakeTicker(int64_t dueUs) {
  ZEPLockGuard lock(m_TickerWakeMutex);
  if (dueUs >= m_nTickerPlanUs) return;  // it wakes early enough anyway
  m_bTickerWoken = true;
  m_TickerWakeCond.notify_one();
}

void ZEPFrame::WaitTicker(int64_t dueUs) {
  ZEPLockGuard lock(m_TickerWakeMutex);
  // A wake-up that came while the ticker worked was kept in the flag. The
  // waits relock through Mutex::lock(), so the detector follows them.
  if (!m_bTickerWoken) {
    m_nTickerPlanUs = dueUs;
    if (dueUs == INT64_MAX) {
      while (!m_bTickerWoken) m_TickerWakeCond.wait(m_TickerWakeMutex);
    } else {
      const auto until = std::chrono::steady_clock::time_point(std::chrono::microseconds(dueUs));
      while (!m_bTickerWoken &&
             m_TickerWakeCond.wait_until(m_TickerWakeMutex, until) != std::cv_status::timeout) {
      }
    }
  }
  m_bTickerWoken = false;
  m_nTickerPlanUs = INT64_MAX;
}

TimeEvent_tag* ZEPFrame::AddTicker(CAppNode* node, unsigned long intervalMs, long count,
                                   unsigned long appID, uint64_t* serial) {
  if (serial != nullptr) *serial = 0;
  if (node == nullptr) return nullptr;
  ZEPLockGuard tickerLock(m_TickerLock);
  ZEPLockGuard nodeLock(m_NodeListLock);
  if (m_NodeListTree.SearchKey(node) == nullptr) return nullptr;
  if (appID != 0 && appID != node->GetAppID()) return nullptr;
  if (node->IsQuiting()) return nullptr;
  TimeEvent_tag* rec = m_TickerPool.Malloc();
  ZEP_ASSERT(NULL != rec);
  TimeEvent_tag::Timing& t = rec->TimingLocked(m_TickerLock);
  t.m_nInterval = static_cast<uint32_t>(intervalMs);
  t.m_nCount = static_cast<int32_t>(count);
  t.m_pNode = node;
  t.m_nAppID = node->GetAppID();
  t.m_nLastUs = NowUs();
  // Read here, under the lock: once it is released the timer may fire, end
  // and its record serve another timer before the caller looks.
  const uint64_t armed = rec->Arm();
  if (serial != nullptr) *serial = armed;
  m_TickerList.AddTail(rec);
  const int64_t due = t.m_nLastUs + static_cast<int64_t>(t.m_nInterval) * 1000;
  ScheduleTickerLocked(t.m_nInterval, due, rec, armed);
  nodeLock.Unlock();
  tickerLock.Unlock();
  WakeTicker(due);
  return rec;
}

void ZEPFrame::FreeTickerLocked(TimeEvent_tag* rec) {
  rec->Disarm();
  m_TickerPool.Free(rec);
}

int ZEPFrame::DelTickerLocked(TimeEvent_tag* tID, const uint64_t* serial) {
  // Only a listed record is looked into: the slot of a timer that ended is
  // free or holds another timer.
  if (tID == nullptr || !m_TickerList.SearchNode(tID)) return -1;
  if (serial != nullptr && tID->GetSerial() != *serial) return -1;
  TimeEvent_tag* tTmpID = m_TickerList.RemoveNode(tID);
  ZEP_ASSERT(tID == tTmpID);
  FreeTickerLocked(tID);
  return 0;
}

int ZEPFrame::DelTicker(TimeEvent_tag* tID, uint64_t serial) {
  ZEPLockGuard lock(m_TickerLock);
  return DelTickerLocked(tID, &serial);
}

void ZEPFrame::DelTicker(TimeEvent_tag* tID) {
  ZEPLockGuard lock(m_TickerLock);
  DelTickerLocked(tID, nullptr);
}

ZEPTimerHandle ZEPFrame::ArmTimer(CAppNode* node, unsigned long intervalMs, long count,
                                  unsigned long appID) {
  uint64_t serial = 0;
  TimeEvent_tag* id = AddTicker(node, intervalMs, count, appID, &serial);
  return ZEPTimerHandle(id, serial);
}

int ZEPFrame::DisarmTimer(ZEPTimerHandle& timer) {
  if (!timer.IsSet()) return -1;
  const int rc = DelTicker(timer.GetID(), timer.GetSerial());
  timer.Clear();
  return rc;
}

void ZEPFrame::DelTicker(CAppNode* node) {
  ZEPLockGuard lock(m_TickerLock);
  SmartPtr<CListNode> cursor;
  for (TimeEvent_tag* rec = m_TickerList.GetFirst(&cursor); rec != nullptr;
       rec = m_TickerList.GetNext(&cursor)) {
    if (rec->TimingLocked(m_TickerLock).m_pNode != node) continue;
    m_TickerList.RemoveAtCursor(&cursor);
    FreeTickerLocked(rec);
  }
}

int ZEPFrame::GetTickerCount() {
  ZEPLockGuard lock(m_TickerLock);
  return m_TickerList.GetCount();
}

void ZEPFrame::ScheduleTickerLocked(uint32_t intervalMs, int64_t dueUs, TimeEvent_tag* rec,
                                    uint64_t serial) {
  // Entries of deleted timers stay until they come up; when they outnumber
  // the live ones, they are all dropped at once.
  const size_t live = static_cast<size_t>(m_TickerList.GetCount());
  if (m_TickerDue.size() > 2 * live + 64) m_TickerDue.DropStale();
  m_TickerDue.Add(intervalMs, dueUs, rec, serial);
}

int64_t ZEPFrame::SendTicker() {
  m_nTickerPasses.fetch_add(1, std::memory_order_relaxed);
  ZEPLockGuard lock(m_TickerLock);
  const int64_t now = NowUs();
  // The due timers are taken out before any is re-armed: one with a zero
  // period is due again at once and fires again in the next pass, not this.
  std::vector<ZEPTickerLanes::Due>& fired = m_TickerFired;
  fired.clear();
  m_TickerDue.TakeDue(now, &fired);
  // The ticks are made first and posted afterwards, each node's together:
  // a node's worker, woken by its first tick, finds the others of the pass
  // queued rather than going back to sleep between them.
  std::vector<TickerPost_tag>& posts = m_TickerPosts;
  bool oneNode = true;
  for (const ZEPTickerLanes::Due& due : fired) {
    TimeEvent_tag* rec = due.m_pRec;
    TimeEvent_tag::Timing& t = rec->TimingLocked(m_TickerLock);
    // A paused timer's tick would be refused anyway; not making it spares a
    // pool round trip. Missed ticks are not made up.
    if (!rec->IsPaused()) {
      CTimerEvent* tick = AllocTimerEvent();
      tick->upcount();  // the post's reference, dropped once it is posted
      tick->SetTimerID(rec);
      tick->SetTimerSerial(due.m_nSerial);
      tick->SetAppID(t.m_nAppID);
      oneNode = oneNode && (posts.empty() || posts.front().m_pNode == t.m_pNode);
      posts.push_back(TickerPost_tag{t.m_pNode, tick, static_cast<uint32_t>(posts.size())});
    }
    t.m_nLastUs = now;
    if (t.m_nCount > 0 && --t.m_nCount == 0) {
      TimeEvent_tag* listed = m_TickerList.RemoveNode(rec);
      ZEP_ASSERT(listed == rec);
      FreeTickerLocked(rec);
      continue;
    }
    ScheduleTickerLocked(t.m_nInterval, now + static_cast<int64_t>(t.m_nInterval) * 1000, rec,
                         due.m_nSerial);
  }
  // Grouped by node, each node's ticks in due order (the order a node sees
  // is all that is kept; no one can tell how two nodes' ticks interleave).
  if (!oneNode) {
    std::sort(posts.begin(), posts.end(), [](const TickerPost_tag& a, const TickerPost_tag& b) {
      return a.m_pNode != b.m_pNode ? std::less<CAppNode*>()(a.m_pNode, b.m_pNode)
                                    : a.m_nOrder < b.m_nOrder;
    });
  }
  // A node that is gone or was initialised again since (another application
  // id) is not given its old timers' ticks: Enqueue checks both.
  for (const TickerPost_tag& p : posts) {
    Enqueue(p.m_pNode, p.m_pTick, true, true);
    p.m_pTick->downcount();
  }
  posts.clear();
  // Passes are at least a millisecond apart: timers falling due within it
  // fire together in the next pass (never early, at most that much late),
  // which spares the ticker and the nodes' workers a wake-up per timer when
  // thousands of them are spread over a second. A zero period cannot make
  // the ticker spin either.
  return std::max(m_TickerDue.NextDueUs(), now + kTickerGrainUs);
}
