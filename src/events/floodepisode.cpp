#include "events/floodepisode.h"

ZEPFloodEpisodes::Episode* ZEPFloodEpisodes::Find(int sock, uint32_t gen) {
  for (Episode& e : m_Open)
    if (e.m_nSocket == sock && e.m_nGeneration == gen) return &e;
  return nullptr;
}

bool ZEPFloodEpisodes::IsOpen(int sock, uint32_t gen) const {
  for (const Episode& e : m_Open)
    if (e.m_nSocket == sock && e.m_nGeneration == gen) return true;
  return false;
}

bool ZEPFloodEpisodes::OnPause(int sock, uint32_t gen, int64_t nowSec, int queued) {
  Episode* e = Find(sock, gen);
  if (e != nullptr && nowSec - e->m_nLastSec < m_nQuietSec) {
    ++e->m_nPauses;
    e->m_nLastSec = nowSec;
    return false;
  }
  // A quiet socket whose old episode nobody closed yet starts afresh: its
  // owner closes before it counts, so that only guards a careless caller.
  if (e == nullptr) {
    m_Open.emplace_back();
    e = &m_Open.back();
  }
  *e = Episode();
  e->m_nSocket = sock;
  e->m_nGeneration = gen;
  e->m_nFirstSec = e->m_nLastSec = nowSec;
  e->m_nPauses = 1;
  e->m_nEvents = queued > 0 ? static_cast<uint64_t>(queued) : 0;
  return true;
}

void ZEPFloodEpisodes::AddEvents(int sock, uint32_t gen, uint64_t n) {
  if (Episode* e = Find(sock, gen)) e->m_nEvents += n;
}

void ZEPFloodEpisodes::Close(int64_t nowSec, bool all, std::vector<Episode>* closed) {
  for (size_t i = 0; i < m_Open.size();) {
    if (all || nowSec - m_Open[i].m_nLastSec >= m_nQuietSec) {
      if (closed != nullptr) closed->push_back(m_Open[i]);
      m_Open[i] = m_Open.back();
      m_Open.pop_back();
    } else {
      ++i;
    }
  }
}
