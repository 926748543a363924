// zepprocess.h — a child process: its start, its end, its process group.
//
// Owns: one child (ZEPProcess) from its start to its reaping, with the
// parent's ends of its pipes and its pidfd, all close-on-exec. Dropping the
// object closes those descriptors and neither kills nor waits: a child that
// still runs ends on its own, and whoever reaps orphans reaps it.
//
// A start (Spawn): every signal of the calling thread is blocked from
// before the fork until the child runs the program. In between, the child
// takes a process group of its own (the parent sets it too, so a kill of
// the group can never miss it), puts every catchable signal back to its
// default action (a signal raised in it meanwhile then acts as its default
// would when the mask goes; a handler of ours never runs in it), sets up its
// standard streams, closes every other descriptor (close_range, else one
// close per number below the descriptor limit), unblocks everything and
// executes the program (execve: no shell, no PATH search). It is a real
// fork, so pthread_atfork handlers run. A child that cannot get there
// reports its step and errno to the parent through a close-on-exec pipe, is
// reaped, and Spawn fails with that step and errno: the program never ran.
//
// Reaping is by the child's own id only (never "any child"); SIGCHLD is
// left as it is. While the child is not reaped its id, and its group's,
// cannot be given to anyone else, so the group is only ever signalled until
// it has been reaped: Reap kills what the child left in its group (when
// asked) before it reaps it. A child reaped behind our back (a waitpid(-1)
// elsewhere) is told as ECHILD and its group is not touched again.
//
// Results: 0, or -1 with errno set (and, for Spawn, GetFailStep()).
// Threads: one thread drives one ZEPProcess at a time; different objects on
// different threads are independent. Spawn blocks the calling thread's
// signals only, and only across the fork. Locks: none.
#ifndef ZEP_BASE_ZEPPROCESS_H
#define ZEP_BASE_ZEPPROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// What a child's standard stream is.
enum ZEPStdio {
  kZEPStdInherit,   // the parent's descriptor of that number, as it is
  kZEPStdNull,      // /dev/null
  kZEPStdPipe,      // a pipe; the parent's end (non-blocking) is Fd(stream)
  kZEPStdAsStdout,  // standard error only: wherever standard output goes
};

// The step at which a start failed (GetFailStep), for the caller's message.
enum ZEPSpawnStep {
  kZEPSpawnNone,   // it did not fail
  kZEPSpawnArgs,   // no program (EINVAL), or the object holds a child (EBUSY)
  kZEPSpawnPipe,   // the parent could not make a pipe or open /dev/null
  kZEPSpawnFork,   // no process
  kZEPSpawnSetup,  // the child could not set up its group or streams
  kZEPSpawnExec,   // the program could not be executed
};

struct ZEPSpawn_tag {
  // argv[0] is the program's path, as execve takes it.
  std::vector<std::string> m_Argv;
  // "NAME=VALUE" each; m_bInheritEnv keeps the parent's environment instead.
  std::vector<std::string> m_Env;
  bool m_bInheritEnv = false;
  ZEPStdio m_eStdin = kZEPStdNull;
  ZEPStdio m_eStdout = kZEPStdNull;
  ZEPStdio m_eStderr = kZEPStdNull;
  bool m_bNewGroup = true;  // false: the child stays in the parent's group
};

// How often a waiter without a pidfd looks at a child (ms).
constexpr int64_t ZEP_PROCESS_LOOK_MS = 100;

// In a child forked with every signal blocked: every catchable signal back
// to its default action (a pending one whose default is to ignore is
// dropped). The mask is left as it is. Async-signal-safe.
void ZEPChildDefaultSignals();

// Closes every descriptor from `from` up, except `keep` (-1: none):
// close_range where the kernel has it, else close() of each number below
// `limit`. Async-signal-safe.
void ZEPCloseFrom(int from, int keep, int limit);

// The descriptor limit a child's close loop runs to: the soft
// RLIMIT_NOFILE, or 65536 when that is unlimited or past 1048576.
int ZEPDescriptorLimit();

struct ZEPChildPlan_tag;

class ZEPProcess {
 public:
  ZEPProcess() = default;
  ~ZEPProcess();
  ZEPProcess(const ZEPProcess&) = delete;
  ZEPProcess& operator=(const ZEPProcess&) = delete;
  ZEPProcess(ZEPProcess&& other) noexcept;
  ZEPProcess& operator=(ZEPProcess&& other) noexcept;

  // Starts the program (see the top); 0 once it runs. On failure nothing
  // is left behind: no child, no descriptor.
  int Spawn(const ZEPSpawn_tag& child);
  ZEPSpawnStep GetFailStep() const { return m_eFailStep; }

  pid_t GetPid() const { return m_nPid; }
  // The group a kill reaches: the child's id with a group of its own.
  pid_t GetGroup() const { return m_bGroup ? m_nPid : -1; }
  // Readable once the child has ended; -1 where the kernel has no pidfd
  // (look every ZEP_PROCESS_LOOK_MS instead).
  int GetPidFd() const { return m_nPidFd; }
  // The parent's end of a piped stream (0, 1 or 2), -1 for none.
  int Fd(int stream) const;
  // Hands that end to the caller, who closes it; -1 for none.
  int TakeFd(int stream);

  // Whether the child has ended; it stays unreaped. 1 ended, 0 runs, -1
  // with ECHILD when it was reaped elsewhere (or was never started).
  int HasEnded();
  // Waits until the child has ended (pidfd and poll(), else a look every
  // ZEP_PROCESS_LOOK_MS) or the monotonic clock reaches `deadlineMs`
  // (ZEPMonoMs). 0 ended (not reaped), -1 ETIMEDOUT, -1 ECHILD.
  int WaitUntil(int64_t deadlineMs);
  // Sends `sig` to the group (to the child alone without one). -1 ESRCH
  // once the child has been reaped: its ids may be anyone's by then.
  int Signal(int sig);
  // Reaps the child when it has ended, without waiting: with `killGroup`
  // SIGKILL first goes to what it left running in its group. 0 reaped
  // (GetStatus), -1 EAGAIN while it runs, -1 ECHILD when reaped elsewhere
  // (status unknown; the group is not touched).
  int Reap(bool killGroup);
  // SIGTERM to the group, then SIGKILL to the group once the child has
  // ended or `graceMs` has passed (0: SIGKILL at once, no SIGTERM), then
  // reaps the child. Blocks for at most the grace. 0, or -1 as Reap.
  int Terminate(int64_t graceMs);

  bool IsReaped() const { return m_bReaped; }
  // The wait status (waitpid); 0 until reaped.
  int GetStatus() const { return m_nStatus; }
  // The exit code of a child that exited, else -1 (also when it was reaped
  // elsewhere: then nothing is known).
  int GetExitCode() const;
  // The signal that ended it, else 0.
  int GetSignal() const;

 private:
  void CloseAll();
  int StartChild(const ZEPSpawn_tag& child, ZEPChildPlan_tag& plan);
  int FinishStart(int report);

  pid_t m_nPid = -1;
  int m_nPidFd = -1;
  int m_Fds[3] = {-1, -1, -1};
  bool m_bGroup = false;
  bool m_bReaped = false;
  bool m_bLost = false;  // reaped elsewhere: its ids are not ours any more
  int m_nStatus = 0;
  ZEPSpawnStep m_eFailStep = kZEPSpawnNone;
};

#endif  // ZEP_BASE_ZEPPROCESS_H
