// messageq_flood.h — what the message queue's own units (messageq.cpp,
// messageq_flow.cpp, messageq_flood.cpp) share: the process-wide flood
// counts, the log lines that wait until no queue lock is held, and two small
// helpers. Nothing outside those units includes it.
//
// Owns: the flood counts of every queue (GetFloodTotals reads them) and the
// stack of waiting log lines (CMessageQueue::FlushLog writes and frees them).
//
// Threads: any. Atomics only: LogLater pushes its line with one
// compare-and-swap and takes no lock, so it may run under the queue's flow
// lock (and the frame locks its producers hold); g_LogMutex is taken only by
// FlushLog, with no queue lock held.
#ifndef ZEP_EVENTS_MESSAGEQ_FLOOD_H
#define ZEP_EVENTS_MESSAGEQ_FLOOD_H

#include <atomic>
#include <cstdint>

#include "base/zepmultithread_clock.h"
#include "base/zepstring.h"
#include "log/zeplog.h"

namespace zepqueue_detail {

// Socket pauses, flood episodes opened, their events, and the open ones.
extern std::atomic<uint64_t> g_FloodPauses;
extern std::atomic<uint64_t> g_FloodEpisodes;
extern std::atomic<uint64_t> g_FloodEvents;
extern std::atomic<uint64_t> g_FloodOpen;

inline int64_t MonoSec() { return ZEPMonoMs() / 1000; }

// Keeps a line for the next FlushLog; a line that finds no memory is lost.
void LogLater(const char* file, int line, LOG_TYPE_ level, const ZEPString& text);

// A lock-free stack taken whole holds its entries newest first; turned round
// they come in push order.
template <class T>
T* Reversed(T* stack) {
  T* ordered = nullptr;
  while (stack != nullptr) {
    T* next = stack->m_pNext;
    stack->m_pNext = ordered;
    ordered = stack;
    stack = next;
  }
  return ordered;
}

}  // namespace zepqueue_detail

#define ZEP_QUEUE_LOG_LATER(level, parts)                                \
  do {                                                                   \
    ZEPString zepQueueLine_;                                             \
    zepQueueLine_ << parts;                                              \
    zepqueue_detail::LogLater(__FILE__, __LINE__, level, zepQueueLine_); \
  } while (0)

#endif  // ZEP_EVENTS_MESSAGEQ_FLOOD_H
