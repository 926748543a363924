// hook.h — the event hook: the program of the [HOOK] section, run beside
// the daemon when an account logs in ("login"), is refused ("refused") or
// is about to log in again ("relogin"), so that a monitor can be told. The
// event and its environment are hookevent.h, the queue rule hookqueue.h;
// this unit turns the news into events and supervises the runs.
//
// A run: the program itself (an absolute path, no shell, no arguments)
// started as a ZEPProcess (zepprocess.h) in a process group of its own,
// standard input /dev/null, standard output and error into a pipe whose
// lines go to the log at INFO, escaped (at most kHookMaxLines a run), and
// an environment of the daemon's own variables (any DYR_ ones left out) and
// the event's (DyrHookEnv). It inherits no descriptor of the daemon, and no
// signal sent before it executes the program runs a handler of the daemon
// (the wake-up write, STOPPING=1) in it: every signal stays blocked until
// it has a group of its own and every catchable signal at its default. A
// run that outlives its time-out is killed with its process group
// (SIGKILL), and so is whatever the program leaves running in its group
// when it ends; a non-zero exit, a death by a signal or a program that
// cannot be executed give a WARN line (one that could not even set up its
// group or streams is told as the exit status 126 it always had).
//
// Nothing waits for a run: the news only queues the event. At most one run
// per account goes at a time (and kHookMaxRunning in all); later events of
// an account wait in a queue of kHookQueueDepth, and one more drops the
// oldest waiting with a WARN line. Stop kills every run and does not wait
// for any to end.
//
// Reaping: a run is waited for by its own process id only (never "any
// child"), and SIGCHLD keeps its disposition, so no other child or signal
// of the daemon is touched. A pidfd tells when a run ends (Linux); without
// one the runner looks every ZEP_PROCESS_LOOK_MS (100 ms) while a run goes.
//
// Owns: the queue, the command and its time-out, the running children
// with their pipes, and the runner, a ZEPServiceThread whose every turn
// starts what the queue lets go, reads the runs' output, kills those past
// their time-out and reaps those that ended.
// Threads: OnNews (and Post) on any thread, copying, queueing and posting
// only; Configure, SetCommand, Start and Stop on one controlling thread
// (the daemon's main thread). The runs are the runner's; once Stop has
// stopped the runner, the controlling thread kills what is left of them.
// Locks: m_Lock, a leaf, around the queue and the command: OnNews takes it
// inside the listener-list lock of news.h; nothing is taken inside it
// and nothing is logged under it (a post to the runner takes no lock).
#ifndef ZEP_APP_OPS_HOOK_H
#define ZEP_APP_OPS_HOOK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/account/news.h"
#include "app/config/hooksection.h"
#include "app/ops/hookevent.h"
#include "app/ops/hookqueue.h"
#include "base/zepmultithread.h"
#include "base/zepservicethread.h"
#include "base/zepthreadsafety.h"

// Output lines of one run that reach the log.
static const int kHookMaxLines = 100;

// What a Configure did to the command: none before or after, the same
// command and time-out kept, a first one started, another one (or another
// time-out) taken, or the one there was stopped.
enum class DYRHookChange { kNone, kKept, kStarted, kChanged, kStopped };
// Its word in a reload's log line: "none", "kept", "started", "changed" or
// "stopped".
const char* DyrHookChangeText(DYRHookChange change);

// The event a piece of news starts; false for news that starts none.
bool DyrHookEventOf(const DYRNews_tag& news, DYRHookEvent_tag& ev);

class CDYRHook : public CDYRListener {
 public:
  CDYRHook();
  ~CDYRHook() override;
  CDYRHook(const CDYRHook&) = delete;
  CDYRHook& operator=(const CDYRHook&) = delete;

  // Reads the [HOOK] section of `iniPath` and takes it: one INFO line with
  // what runs, or one WARN line why nothing does. A file that cannot be read
  // keeps what was taken. Returns what became of the command.
  DYRHookChange Configure(const char* iniPath);
  // The same without a file: an empty command runs nothing (and drops the
  // waiting events). Runs going keep the command they started with.
  void SetCommand(const std::string& command, int timeoutSec);
  // Listens to the news and starts the runner.
  void Start();
  // Stops listening, kills every run with its process group and drops the
  // waiting events, without waiting for the runs to end. Idempotent.
  void Stop();

  void OnNews(const DYRNews_tag& news) override;
  // Queues one event, as OnNews does for the news that starts one.
  void Post(const DYRHookEvent_tag& ev);
  // Runs going and events waiting (for tests and the report).
  size_t GetRunning();
  size_t GetWaiting();

 private:
  struct Run_tag;
  // Runner thread: one turn (see the top).
  void Turn(ZEPServiceTurn& turn);
  // Runner thread: starts what the queue lets go.
  void StartWaiting();
  // Runner thread: starts `ev` with `command`; false when it could not.
  bool Spawn(const DYRHookEvent_tag& ev, const std::string& command, int timeoutSec);
  void ReadOutput(Run_tag& run, bool final);
  void LogLine(Run_tag& run, const std::string& line);
  // Runner thread: kills `run` with its group once it is past its time-out.
  static void CheckTimeOut(Run_tag& run, int64_t nowMs);
  // Runner thread: reaps `run` when it has ended; true when it has.
  bool Reap(Run_tag& run);
  void Finish(Run_tag& run);
  // Runner thread: what the next wait watches and when it ends at the latest.
  void WatchRuns(ZEPServiceTurn& turn) const;

  std::vector<std::string> m_Inherited;  // the daemon's environment, from Start
  bool m_bStarted = false;               // controlling thread only
  // The runner's, and the controlling thread's once the runner has stopped.
  std::vector<Run_tag> m_Runs;

  Mutex m_Lock;
  CDYRHookQueue m_Queue GUARDED_BY(m_Lock);
  std::string m_strCommand GUARDED_BY(m_Lock);
  int m_nTimeoutSec GUARDED_BY(m_Lock) = kHookDefaultTimeoutSec;
  bool m_bStop GUARDED_BY(m_Lock) = false;
  ZEPServiceThread m_Runner;
};

#endif  // ZEP_APP_OPS_HOOK_H
