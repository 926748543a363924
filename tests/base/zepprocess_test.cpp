// Child processes: how they end, what they inherit, time-outs and the kill
// of their whole group.
#include "base/zepprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "base/zepmultithread_clock.h"
#include "support/processes.h"
#include "support/waitfor.h"

namespace {

ZEPSpawn_tag ShellSpawn(const std::string& script) {
  ZEPSpawn_tag child;
  child.m_Argv = {"/bin/sh", "-c", script};
  child.m_Env = {"PATH=/usr/bin:/bin"};
  child.m_eStdout = kZEPStdPipe;
  child.m_eStderr = kZEPStdAsStdout;
  return child;
}

// Reads the child's output until it ends (bounded).
std::string ReadAll(ZEPProcess& p) {
  std::string out;
  const int64_t deadline = ZEPMonoMs() + 10000;
  char buf[512];
  while (ZEPMonoMs() < deadline) {
    const ssize_t n = read(p.Fd(1), buf, sizeof buf);
    if (n == 0) break;
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    if (n < 0) ZEPWaitReadable(p.Fd(1), 100);
  }
  return out;
}

// Waits for the child's own end and reaps it.
bool Finish(ZEPProcess& p) { return p.WaitUntil(ZEPMonoMs() + 10000) == 0 && p.Reap(true) == 0; }

// The first line of output: how the child tells us a process id.
long ReadNumberLine(ZEPProcess& p) {
  std::string out;
  char c;
  zeptest::WaitFor([&] {
    while (read(p.Fd(1), &c, 1) == 1) {
      if (c == '\n') return true;
      out += c;
    }
    return false;
  });
  return std::atol(out.c_str());
}

TEST(ProcessTest, ExitStatusSignalAndFailedStarts) {
  const struct {
    std::vector<std::string> argv;
    ZEPSpawnStep step;  // kZEPSpawnNone: it runs
    int err;
    int code;  // the exit code, -1 for none
    int sig;
  } cases[] = {
      {{"/bin/sh", "-c", "exit 0"}, kZEPSpawnNone, 0, 0, 0},
      {{"/bin/sh", "-c", "exit 3"}, kZEPSpawnNone, 0, 3, 0},
      {{"/bin/sh", "-c", "kill -USR1 $$"}, kZEPSpawnNone, 0, -1, SIGUSR1},
      {{"/nonexistent/program"}, kZEPSpawnExec, ENOENT, -1, 0},
      {{"/dev/null"}, kZEPSpawnExec, EACCES, -1, 0},
      {{"relative/sh"}, kZEPSpawnExec, ENOENT, -1, 0},
      {{}, kZEPSpawnArgs, EINVAL, -1, 0},
      {{""}, kZEPSpawnArgs, EINVAL, -1, 0},
  };
  for (const auto& c : cases) {
    const std::string label = c.argv.empty() ? "(no argv)" : c.argv.back();
    ZEPSpawn_tag child;
    child.m_Argv = c.argv;
    ZEPProcess p;
    const int rc = p.Spawn(child);
    const int err = errno;
    EXPECT_EQ(c.step, p.GetFailStep()) << label;
    if (c.step != kZEPSpawnNone) {
      EXPECT_EQ(-1, rc) << label;
      EXPECT_EQ(c.err, err) << label;
      EXPECT_EQ(-1, p.GetPid()) << label << ": nothing left behind";
      EXPECT_EQ(-1, p.Signal(0)) << label;
      continue;
    }
    ASSERT_EQ(0, rc) << label;
    EXPECT_EQ(p.GetPid(), p.GetGroup());
    ASSERT_EQ(0, p.WaitUntil(ZEPMonoMs() + 10000)) << label;
    ASSERT_EQ(0, p.Reap(true)) << label;
    EXPECT_EQ(c.code, p.GetExitCode()) << label;
    EXPECT_EQ(c.sig, p.GetSignal()) << label;
    EXPECT_EQ(-1, p.GetPidFd()) << "closed with the reaping";
    EXPECT_EQ(-1, p.Signal(SIGKILL)) << label << ": its group may be anyone's now";
    EXPECT_EQ(ESRCH, errno);
  }
  // Standard error may follow standard output, nothing else may.
  ZEPSpawn_tag bad = ShellSpawn("true");
  bad.m_eStdout = kZEPStdAsStdout;
  ZEPProcess p;
  EXPECT_EQ(-1, p.Spawn(bad));
  EXPECT_EQ(kZEPSpawnArgs, p.GetFailStep());
}

TEST(ProcessTest, ChildGetsItsStreamsEnvironmentNoDescriptorAndNoMask) {
  // Ours without close-on-exec, a blocked and an ignored signal: the
  // program must have none of them (an ignored disposition survives exec).
  const int leak = fcntl(STDIN_FILENO, F_DUPFD, 57);
  ASSERT_GE(leak, 57);
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  struct sigaction ign {
  }, before{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ign, &before);
  const struct {
    const char* script;
    std::string want;
  } cases[] = {
      {"exec ls /proc/self/fd", "0\n1\n2\n3\n"},  // 3: the listing's own
      {"exec grep -E '^Sig(Blk|Ign)' /proc/self/status",
       "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"},
      {"readlink /proc/self/fd/0; echo \"$ZEPV\" $HOME; echo err >&2", "/dev/null\nx y\nerr\n"},
  };
  for (const auto& c : cases) {
    ZEPSpawn_tag child = ShellSpawn(c.script);
    child.m_Env.push_back("ZEPV=x y");
    ZEPProcess p;
    ASSERT_EQ(0, p.Spawn(child)) << c.script;
    EXPECT_EQ(c.want, ReadAll(p)) << c.script;
    EXPECT_TRUE(Finish(p));
    EXPECT_EQ(0, p.GetExitCode()) << c.script;
  }
  sigaction(SIGUSR2, &before, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(leak);

  // A piped standard input, and the parent's environment.
  setenv("ZEP_PROCESS_TEST", "inherited", 1);
  ZEPSpawn_tag child = ShellSpawn("echo $ZEP_PROCESS_TEST; exec cat");
  child.m_bInheritEnv = true;
  child.m_eStdin = kZEPStdPipe;
  ZEPProcess p;
  ASSERT_EQ(0, p.Spawn(child));
  ASSERT_EQ(5, write(p.Fd(0), "ping\n", 5));
  const int in = p.TakeFd(0);
  EXPECT_EQ(-1, p.Fd(0));
  close(in);  // cat's end of input
  EXPECT_EQ("inherited\nping\n", ReadAll(p));
  EXPECT_TRUE(Finish(p));
  unsetenv("ZEP_PROCESS_TEST");
}

TEST(ProcessTest, StreamsWhenTheParentHasNoStandardDescriptors) {
  // A parent started with 0, 1 and 2 closed gets the pipe at those numbers;
  // the child must still see it as its standard output. Tried in a child
  // of the test, which can close them.
  const pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    for (int fd = 0; fd < 3; ++fd) close(fd);
    ZEPProcess p;
    // /dev/null for its input comes to 0, the output pipe to 1 and 2.
    if (p.Spawn(ShellSpawn("readlink /proc/self/fd/0; echo err >&2")) != 0 || p.Fd(1) > 2) _exit(2);
    const std::string out = ReadAll(p);
    _exit(Finish(p) && p.GetExitCode() == 0 && out == "/dev/null\nerr\n" ? 0 : 1);
  }
  int st = -1;
  ASSERT_TRUE(zeptest::WaitFor([&] { return waitpid(helper, &st, WNOHANG) == helper; }));
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(0, WEXITSTATUS(st));
}

TEST(ProcessTest, TimeOutThenTheWholeGroupIsKilled) {
  // The program leaves a grandchild in its group that ignores SIGTERM.
  const struct {
    const char* leader;  // how the program itself takes SIGTERM
    int64_t graceMs;
    int sig;  // what ended the program
  } cases[] = {
      {"exec sleep 300", 200, SIGTERM},
      {"trap '' TERM; exec sleep 300", 200, SIGKILL},  // the grace runs out
      {"exec sleep 300", 0, SIGKILL},                  // no grace: no SIGTERM
  };
  for (const auto& c : cases) {
    ZEPProcess p;
    ASSERT_EQ(0, p.Spawn(ShellSpawn(std::string("(trap '' TERM; exec sleep 300) & echo $!; ") +
                                    c.leader)));
    const long grandchild = ReadNumberLine(p);
    ASSERT_GT(grandchild, 0) << c.leader;
    const int64_t start = ZEPMonoMs();
    EXPECT_EQ(-1, p.WaitUntil(start + 200)) << c.leader;
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_GE(ZEPMonoMs() - start, 200) << "not before the deadline";
    EXPECT_EQ(0, p.HasEnded());
    EXPECT_EQ(-1, p.Reap(true)) << "it runs";
    EXPECT_EQ(EAGAIN, errno);
    const pid_t pgid = p.GetGroup();
    EXPECT_EQ(0, p.Terminate(c.graceMs)) << c.leader;
    EXPECT_EQ(c.sig, p.GetSignal()) << c.leader;
    EXPECT_TRUE(zeptest::WaitFor([&] { return !zeptest::ProcessAlive(grandchild); }))
        << c.leader << ": grandchild " << grandchild;
    EXPECT_FALSE(zeptest::GroupAlive(pgid)) << c.leader;
  }
}

TEST(ProcessTest, ReapingKillsWhatTheChildLeftInItsGroupWhenAsked) {
  for (const bool killGroup : {true, false}) {
    ZEPProcess p;
    ASSERT_EQ(0, p.Spawn(ShellSpawn("(trap '' TERM; exec sleep 300) & echo $!; exit 4")));
    const long grandchild = ReadNumberLine(p);
    ASSERT_GT(grandchild, 0);
    ASSERT_EQ(0, p.WaitUntil(ZEPMonoMs() + 10000));
    EXPECT_EQ(1, p.HasEnded()) << "ended, not reaped";
    ASSERT_EQ(0, p.Reap(killGroup));
    EXPECT_EQ(4, p.GetExitCode());
    if (killGroup) {
      EXPECT_TRUE(zeptest::WaitFor([&] { return !zeptest::ProcessAlive(grandchild); }));
    } else {
      EXPECT_TRUE(zeptest::ProcessAlive(grandchild));
      kill(static_cast<pid_t>(grandchild), SIGKILL);
    }
  }
}

TEST(ProcessTest, ReapedElsewhereIsToldAndItsGroupLeftAlone) {
  ZEPProcess p;
  ASSERT_EQ(0, p.Spawn(ShellSpawn("exit 5")));
  int st = 0;
  ASSERT_EQ(p.GetPid(), waitpid(p.GetPid(), &st, 0));  // someone's waitpid
  EXPECT_EQ(-1, p.HasEnded());
  EXPECT_EQ(ECHILD, errno);
  EXPECT_EQ(-1, p.Signal(SIGKILL));
  EXPECT_EQ(ESRCH, errno);
  EXPECT_EQ(-1, p.Reap(true));
  EXPECT_EQ(ECHILD, errno);
  EXPECT_EQ(-1, p.GetExitCode()) << "nothing is known";
  // The object takes a new child.
  ASSERT_EQ(0, p.Spawn(ShellSpawn("exit 6")));
  EXPECT_TRUE(Finish(p));
  EXPECT_EQ(6, p.GetExitCode());
}

// A signal raised in the child between fork and exec acts as its default
// would there and never runs the parent's handler: every fork of this test
// raises it in the child at once (pthread_atfork).
std::atomic<int> g_nProcessRaise{0};
int g_nProcessHandlerFd = -1;

void ProcessRaiseInChild() {
  const int sig = g_nProcessRaise.load();
  if (sig != 0) raise(sig);
}

void ProcessRecordPid(int) {
  const pid_t pid = getpid();
  ssize_t n = write(g_nProcessHandlerFd, &pid, sizeof pid);
  (void)n;
}

TEST(ProcessTest, ASignalBeforeExecActsAsItsDefault) {
  static const bool registered = pthread_atfork(nullptr, nullptr, &ProcessRaiseInChild) == 0;
  ASSERT_TRUE(registered);
  int fds[2];
  ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
  g_nProcessHandlerFd = fds[1];
  const struct {
    int sig;
    int code;  // the default ignores it: the program runs; else the signal ends it
  } cases[] = {{SIGWINCH, 7}, {SIGUSR2, -1}, {SIGTERM, -1}};
  for (const auto& c : cases) {
    struct sigaction mine {
    }, before{};
    mine.sa_handler = &ProcessRecordPid;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(0, sigaction(c.sig, &mine, &before));
    g_nProcessRaise.store(c.sig);
    ZEPProcess p;
    const int rc = p.Spawn(ShellSpawn("exit 7"));
    g_nProcessRaise.store(0);
    ASSERT_EQ(0, rc) << c.sig;
    EXPECT_TRUE(Finish(p));
    sigaction(c.sig, &before, nullptr);
    EXPECT_EQ(c.code, p.GetExitCode()) << c.sig;
    EXPECT_EQ(c.code < 0 ? c.sig : 0, p.GetSignal()) << c.sig;
    pid_t pid = 0;
    while (read(fds[0], &pid, sizeof pid) == static_cast<ssize_t>(sizeof pid))
      ADD_FAILURE() << c.sig << ": the parent's handler ran in process " << pid;
  }
  close(fds[0]);
  close(fds[1]);
  g_nProcessHandlerFd = -1;
}

}  // namespace
