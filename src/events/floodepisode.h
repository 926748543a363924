// floodepisode.h — ZEPFloodEpisodes, the rule that turns a socket's stream of
// high-water pauses into episodes, so that a flood logs two lines instead of
// one per pause.
//
// An episode of a socket (descriptor and generation) begins with a pause when
// the socket has none open; every later pause belongs to it until the socket
// has gone the quiet period (kQuietSec unless the owner chose another)
// without a pause. Then the episode closes and its pauses and events are
// reported once. Events are those the socket queued
// while the episode ran, the ones that made the first pause included.
//
// Owns: its list of open episodes. Threads: none of its own; the owner (a
// message queue under its flow lock, a node on its own thread) calls it
// under whatever guards it. A "socket" is the owner's key: a node that folds
// repeated log lines keys them by kind of line. Time is given by the caller in whole monotonic
// seconds, so the rule runs without a clock and a table of cases can drive it.
#ifndef ZEP_EVENTS_FLOODEPISODE_H
#define ZEP_EVENTS_FLOODEPISODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

class ZEPFloodEpisodes {
 public:
  // Seconds without a pause that end an episode.
  static constexpr int64_t kQuietSec = 10;

  // A shorter quiet period serves tests; below 1 s is taken as 1 s.
  explicit ZEPFloodEpisodes(int64_t quietSec = kQuietSec)
      : m_nQuietSec(quietSec < 1 ? 1 : quietSec) {}
  int64_t GetQuietSec() const { return m_nQuietSec; }

  struct Episode {
    int m_nSocket = -1;
    uint32_t m_nGeneration = 0;
    int64_t m_nFirstSec = 0;  // the first pause
    int64_t m_nLastSec = 0;   // the latest pause
    uint64_t m_nPauses = 0;
    uint64_t m_nEvents = 0;
  };

  // A pause of the socket at `nowSec` with `queued` of its events waiting.
  // True when it opens an episode (the caller logs that pause); a pause
  // within an open episode is only counted.
  bool OnPause(int sock, uint32_t gen, int64_t nowSec, int queued);
  // Events the socket queued since they were last added (counted only while
  // an episode is open; ignored otherwise).
  void AddEvents(int sock, uint32_t gen, uint64_t n);
  bool IsOpen(int sock, uint32_t gen) const;
  // Moves every episode whose last pause is the quiet period or more before
  // `nowSec` to `closed` (all of them when `all`).
  void Close(int64_t nowSec, bool all, std::vector<Episode>* closed);
  size_t OpenCount() const { return m_Open.size(); }

 private:
  Episode* Find(int sock, uint32_t gen);
  int64_t m_nQuietSec;
  std::vector<Episode> m_Open;
};

#endif  // ZEP_EVENTS_FLOODEPISODE_H
