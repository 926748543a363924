#include "frame/tickerlanes.h"

#include <algorithm>

namespace {
// std::*_heap keep the greatest first: "greater" here is "due later".
struct DueLater {
  template <typename T>
  bool operator()(const T& a, const T& b) const {
    return a.m_nDueUs > b.m_nDueUs;
  }
};

bool Stale(const ZEPTickerLanes::Due& d) { return d.m_pRec->GetSerial() != d.m_nSerial; }
}  // namespace

void ZEPTickerLanes::Add(uint32_t intervalMs, int64_t dueUs, TimeEvent_tag* rec, uint64_t serial) {
  auto it = m_Lanes.find(intervalMs);
  if (it == m_Lanes.end()) {
    // Lanes left empty stay for the next timer of their period (a lone
    // repeating timer empties and refills its lane every pass); a program
    // that keeps inventing periods does not pile them up.
    if (m_Lanes.size() > 2 * m_Heap.size() + 16) {
      for (auto l = m_Lanes.begin(); l != m_Lanes.end();) {
        l = l->second.m_Due.empty() ? m_Lanes.erase(l) : std::next(l);
      }
    }
    it = m_Lanes.emplace(intervalMs, Lane()).first;
    it->second.m_nInterval = intervalMs;
  }
  Lane& lane = it->second;
  const Due d{dueUs, rec, serial, intervalMs};
  ++m_nEntries;
  if (lane.m_Due.empty() || lane.m_Due.back().m_nDueUs <= dueUs) {
    lane.m_Due.push_back(d);
    if (!lane.m_bInHeap) PushFront(&lane);
    return;
  }
  // Earlier than the lane's last: only a caller that read its clock outside
  // the frame's lock gets here. The lane stays sorted all the same.
  auto at = std::upper_bound(lane.m_Due.begin(), lane.m_Due.end(), d,
                             [](const Due& a, const Due& b) { return a.m_nDueUs < b.m_nDueUs; });
  lane.m_Due.insert(at, d);
  RebuildHeap();
}

void ZEPTickerLanes::PushFront(Lane* lane) {
  lane->m_bInHeap = true;
  m_Heap.push_back(Front{lane->m_Due.front().m_nDueUs, lane});
  std::push_heap(m_Heap.begin(), m_Heap.end(), DueLater());
}

void ZEPTickerLanes::TakeDue(int64_t nowUs, std::vector<Due>* out) {
  while (!m_Heap.empty() && m_Heap.front().m_nDueUs <= nowUs) {
    Lane* lane = m_Heap.front().m_pLane;
    // The lane keeps the turn while its front is no later than every other
    // lane's (the second-earliest front is one of the top's children): with
    // one period (the usual case) the heap is touched once per pass.
    int64_t others = INT64_MAX;
    if (m_Heap.size() > 1) others = m_Heap[1].m_nDueUs;
    if (m_Heap.size() > 2) others = std::min(others, m_Heap[2].m_nDueUs);
    const int64_t until = std::min(nowUs, others);
    do {
      const Due d = lane->m_Due.front();
      lane->m_Due.pop_front();
      --m_nEntries;
      if (!Stale(d)) out->push_back(d);
    } while (!lane->m_Due.empty() && lane->m_Due.front().m_nDueUs <= until);
    std::pop_heap(m_Heap.begin(), m_Heap.end(), DueLater());
    if (lane->m_Due.empty()) {
      m_Heap.pop_back();
      lane->m_bInHeap = false;
    } else {
      m_Heap.back().m_nDueUs = lane->m_Due.front().m_nDueUs;
      std::push_heap(m_Heap.begin(), m_Heap.end(), DueLater());
    }
  }
}

void ZEPTickerLanes::DropStale() {
  for (auto l = m_Lanes.begin(); l != m_Lanes.end();) {
    std::deque<Due>& q = l->second.m_Due;
    const size_t before = q.size();
    q.erase(std::remove_if(q.begin(), q.end(), Stale), q.end());
    m_nEntries -= before - q.size();
    l = q.empty() ? m_Lanes.erase(l) : std::next(l);
  }
  RebuildHeap();
}

void ZEPTickerLanes::RebuildHeap() {
  m_Heap.clear();
  for (auto& l : m_Lanes) {
    l.second.m_bInHeap = !l.second.m_Due.empty();
    if (l.second.m_bInHeap) m_Heap.push_back(Front{l.second.m_Due.front().m_nDueUs, &l.second});
  }
  std::make_heap(m_Heap.begin(), m_Heap.end(), DueLater());
}

void ZEPTickerLanes::clear() {
  m_Lanes.clear();
  m_Heap.clear();
  m_nEntries = 0;
}
