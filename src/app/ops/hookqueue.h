// hookqueue.h — the hook's queue rule (hook.h): per account one run at a
// time and a few events waiting behind it, a limit on runs in all, and
// accounts taking turns.
//
// Owns: the waiting events, by account, and the count of runs going.
// Threads: any, one at a time: it is not thread-safe (the hook holds its
// lock around it). Locks: none.
#ifndef ZEP_APP_OPS_HOOKQUEUE_H
#define ZEP_APP_OPS_HOOKQUEUE_H

#include <cstddef>
#include <deque>
#include <vector>

#include "app/ops/hookevent.h"

// Events of one account that may wait behind its run.
static const size_t kHookQueueDepth = 4;
// Runs at a time, all accounts together (a server's restart may make every
// account log in again at once).
static const size_t kHookMaxRunning = 16;

// The queue rule: per account, one run and up to `depth` waiting events.
class CDYRHookQueue {
 public:
  explicit CDYRHookQueue(size_t depth = kHookQueueDepth, size_t maxRunning = kHookMaxRunning);
  // Queues `ev` behind its account's; when `depth` already wait, the oldest
  // is taken out into `dropped` and true is returned.
  bool Push(const DYRHookEvent_tag& ev, DYRHookEvent_tag& dropped);
  // The oldest event of an account with no run going, while fewer than
  // `maxRunning` go; its account then counts as running. Accounts take turns.
  bool TakeNext(DYRHookEvent_tag& ev);
  // The run of `account` has ended.
  void Done(int account);
  // Drops every waiting event; returns how many. Runs stay counted.
  size_t Clear();
  size_t Waiting() const;
  size_t Running() const { return m_nRunning; }

 private:
  struct Lane_tag {
    int m_nAccount = 0;
    bool m_bRunning = false;
    std::deque<DYRHookEvent_tag> m_Waiting;
  };
  size_t m_nDepth;
  size_t m_nMaxRunning;
  size_t m_nRunning = 0;
  size_t m_nNextLane = 0;  // where the next TakeNext starts looking
  std::vector<Lane_tag> m_Lanes;
};

#endif  // ZEP_APP_OPS_HOOKQUEUE_H
