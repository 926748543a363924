#include "app/ops/hookqueue.h"

#include <cstddef>

CDYRHookQueue::CDYRHookQueue(size_t depth, size_t maxRunning)
    : m_nDepth(depth > 0 ? depth : 1), m_nMaxRunning(maxRunning > 0 ? maxRunning : 1) {}

bool CDYRHookQueue::Push(const DYRHookEvent_tag& ev, DYRHookEvent_tag& dropped) {
  Lane_tag* lane = nullptr;
  for (Lane_tag& l : m_Lanes) {
    if (l.m_nAccount == ev.m_nAccount) lane = &l;
  }
  if (lane == nullptr) {
    m_Lanes.emplace_back();
    lane = &m_Lanes.back();
    lane->m_nAccount = ev.m_nAccount;
  }
  bool full = lane->m_Waiting.size() >= m_nDepth;
  if (full) {
    dropped = lane->m_Waiting.front();
    lane->m_Waiting.pop_front();
  }
  lane->m_Waiting.push_back(ev);
  return full;
}

bool CDYRHookQueue::TakeNext(DYRHookEvent_tag& ev) {
  if (m_nRunning >= m_nMaxRunning) return false;
  for (size_t k = 0; k < m_Lanes.size(); ++k) {
    const size_t i = (m_nNextLane + k) % m_Lanes.size();
    Lane_tag& lane = m_Lanes[i];
    if (lane.m_bRunning || lane.m_Waiting.empty()) continue;
    ev = lane.m_Waiting.front();
    lane.m_Waiting.pop_front();
    lane.m_bRunning = true;
    ++m_nRunning;
    m_nNextLane = i + 1;
    return true;
  }
  return false;
}

void CDYRHookQueue::Done(int account) {
  for (size_t i = 0; i < m_Lanes.size(); ++i) {
    Lane_tag& lane = m_Lanes[i];
    if (lane.m_nAccount != account || !lane.m_bRunning) continue;
    lane.m_bRunning = false;
    --m_nRunning;
    // An idle, empty lane is forgotten: accounts come and go with reloads.
    if (lane.m_Waiting.empty()) {
      m_Lanes.erase(m_Lanes.begin() + static_cast<std::ptrdiff_t>(i));
      if (m_nNextLane > i) --m_nNextLane;
    }
    return;
  }
}

size_t CDYRHookQueue::Clear() {
  size_t n = 0;
  for (size_t i = m_Lanes.size(); i-- > 0;) {
    n += m_Lanes[i].m_Waiting.size();
    m_Lanes[i].m_Waiting.clear();
    if (!m_Lanes[i].m_bRunning) m_Lanes.erase(m_Lanes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  m_nNextLane = 0;
  return n;
}

size_t CDYRHookQueue::Waiting() const {
  size_t n = 0;
  for (const Lane_tag& l : m_Lanes) n += l.m_Waiting.size();
  return n;
}
