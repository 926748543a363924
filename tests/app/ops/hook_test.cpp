// The event hook: the news that starts an event, its section's checks, and
// real runs (output, exit, time-out, stop) of small scripts.
#include "app/ops/hook.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "hooktestevent.h"
#include "support/files.h"
#include "support/logcapture.h"
#include "support/processes.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

namespace {

TEST(HookEnv, NewsThatStartsAnEvent) {
  DYRNews_tag news;
  news.m_nAccount = 4;
  news.m_strHost = "ddns.example.net";
  news.m_strUser = "bob";
  news.m_Status.m_strEgress = "198.51.100.2";
  news.m_strMessage = "welcome";
  DYRHookEvent_tag ev;
  const struct {
    DYRNews_tag::Kind kind;
    const char* event;  // null: none
  } cases[] = {{DYRNews_tag::kLogin, "login"},
               {DYRNews_tag::kRefused, "refused"},
               {DYRNews_tag::kRelogin, "relogin"},
               {DYRNews_tag::kStatus, nullptr},
               {DYRNews_tag::kEnded, nullptr}};
  for (const auto& c : cases) {
    news.m_nKind = c.kind;
    news.m_pReason = "address";
    ASSERT_EQ(c.event != nullptr, DyrHookEventOf(news, ev)) << c.kind;
    if (c.event == nullptr) continue;
    EXPECT_EQ(c.event, ev.m_strEvent);
    EXPECT_EQ(4, ev.m_nAccount);
    EXPECT_EQ("ddns.example.net", ev.m_strHost);
    EXPECT_EQ("bob", ev.m_strUser);
    EXPECT_EQ("198.51.100.2", ev.m_strEgress);
    EXPECT_EQ("welcome", ev.m_strMessage);
    EXPECT_EQ(c.kind == DYRNews_tag::kRelogin ? "address" : "", ev.m_strReason);
  }
}

// Shell scripts in a scratch directory: the section's checks and real runs.
class HookRuns : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  void TearDown() override { hook_.Stop(); }
  // The script runs in the test's directory: it finds ours in $D.
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_ + "/" + name;
    zeptest::WriteFile(path, "#!/bin/sh\nD=" + dir_ + "\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string Read(const std::string& name) { return zeptest::ReadFile(dir_ + "/" + name); }
  long Number(const std::string& name) {
    long n = 0;
    zeptest::WaitFor([&] { return (n = std::atol(Read(name).c_str())) > 0; });
    return n;
  }
  static bool GroupGone(long pgid) { return pgid > 0 && !zeptest::GroupAlive(pgid); }
  zeptest::TempDir tmp_;
  const std::string dir_ = tmp_.path();
  CDYRHook hook_;
  zeptest::LogCapture log_;
};

TEST_F(HookRuns, SectionTimeoutAndCommandChecks) {
  const struct {
    const char* text;
    int sec;
  } timeouts[] = {{"", kHookDefaultTimeoutSec},
                  {"1", 1},
                  {"86400", 86400},
                  {"86401", -1},
                  {"0", -1},
                  {"-5", -1},
                  {"5s", -1},
                  {" 5", -1},
                  {"5 ", -1},
                  {"+5", -1},
                  {"00000000000000000000086400", 86400},
                  {"086401", -1},
                  {"99999999999999999999", -1}};
  for (const auto& t : timeouts) EXPECT_EQ(t.sec, DyrHookTimeout(ZEPString(t.text))) << t.text;

  const std::string& dir = dir_;
  Script("run.sh", "");
  zeptest::WriteFile(dir + "/plain.txt", "x");
  const struct {
    bool present;
    std::string command;
    const char* why;  // "": usable
  } cases[] = {
      {false, "", ""},  // no section: nothing to say
      {true, "", "has no Command="},
      {true, "run.sh", "is not an absolute path"},
      {true, dir + "/missing", "No such file or directory"},
      {true, dir + "/plain.txt", "is not an executable file"},
      {true, dir, "is not an executable file"},
      {true, dir + "/run.sh", ""},
  };
  for (const auto& c : cases) {
    DYRHookConf_tag conf;
    conf.m_bPresent = c.present;
    conf.m_strCommand = c.command.c_str();
    const std::string why(DyrHookProblem(conf).GetSafeText());
    if (*c.why == '\0') {
      EXPECT_EQ("", why) << c.command;
    } else {
      EXPECT_NE(std::string::npos, why.find(c.why)) << c.command << " -> " << why;
    }
  }
}

// One file read after another, as reloads do: what each Configure reports
// (the word of the reload's line) and whether it logs what runs.
TEST_F(HookRuns, ConfigureReportsWhatBecameOfTheCommand) {
  const std::string a = Script("a.sh", "");
  const std::string b = Script("b.sh", "");
  const std::string ini = dir_ + "/dyrclient.ini";
  const struct {
    const char* what;
    std::string file;  // "-": no file at all
    DYRHookChange change;
    const char* word;
    bool logsCommand;
  } steps[] = {
      {"no section", "[DYR_CLIENT]\nHost=h\n", DYRHookChange::kNone, "none", false},
      {"unusable first", "[HOOK]\nCommand=a.sh\n", DYRHookChange::kNone, "none", false},
      {"first command", "[HOOK]\nCommand=" + a + "\n", DYRHookChange::kStarted, "started", true},
      {"same again", "[HOOK]\nCommand=" + a + "\n", DYRHookChange::kKept, "kept", false},
      {"unreadable", "-", DYRHookChange::kKept, "kept", false},
      {"other time-out", "[HOOK]\nCommand=" + a + "\nTimeout=5\n", DYRHookChange::kChanged,
       "changed", true},
      {"other command", "[HOOK]\nCommand=" + b + "\nTimeout=5\n", DYRHookChange::kChanged,
       "changed", true},
      // A time-out out of range is the default: another than 5 s, the same as none.
      {"bad time-out", "[HOOK]\nCommand=" + b + "\nTimeout=0\n", DYRHookChange::kChanged, "changed",
       true},
      {"default time-out", "[HOOK]\nCommand=" + b + "\n", DYRHookChange::kKept, "kept", false},
      {"no command", "[HOOK]\nTimeout=5\n", DYRHookChange::kStopped, "stopped", false},
      {"unreadable, none", "-", DYRHookChange::kNone, "none", false},
  };
  int logged = 0;
  for (const auto& step : steps) {
    unlink(ini.c_str());
    if (step.file != "-") zeptest::WriteFile(ini, step.file);
    const DYRHookChange change = hook_.Configure(ini.c_str());
    EXPECT_EQ(step.change, change) << step.what;
    EXPECT_STREQ(step.word, DyrHookChangeText(change)) << step.what;
    logged += step.logsCommand ? 1 : 0;
    EXPECT_EQ(logged, log_.Count("INFO", "Hook: " + dir_)) << step.what;
  }
}

TEST_F(HookRuns, OutputGoesToTheLogAndAFailureIsWarned) {
  // A descriptor of ours without close-on-exec: the run must not have it.
  const int opened = open("/dev/null", O_RDONLY);
  const int leak = fcntl(opened, F_DUPFD, 57);
  close(opened);
  ASSERT_GE(leak, 57);
  const std::string cmd = Script("hook.sh",
                                 "echo \"event $DYR_EVENT reason $DYR_REASON\"\n"
                                 "if read x; then echo stdin-had-data; else echo stdin-empty; fi\n"
                                 "if [ -e /proc/$$/fd/" +
                                     std::to_string(leak) +
                                     " ]; then echo leaked; else echo no-leak; fi\n"
                                     "printf 'tab\\there\\r\\nno line end'\n"
                                     "echo \"$$\" > $D/pgid\n"
                                     "exit 3\n");
  hook_.SetCommand(cmd, 10);
  hook_.Start();
  DYRHookEvent_tag ev = HookTestEvent("relogin");
  ev.m_strReason = "console";
  hook_.Post(ev);
  ASSERT_TRUE(zeptest::WaitFor(
      [&] { return log_.Count("WARN", "Hook relogin (account 1) exited with status 3.") == 1; }));
  close(leak);
  for (const char* line :
       {"event relogin reason console", "stdin-empty", "no-leak", "tab\\there", "no line end"}) {
    EXPECT_EQ(1, log_.Count("INFO", std::string("Hook relogin (account 1): ") + line)) << line;
  }
  EXPECT_EQ(0, log_.Count("", "leaked"));
  EXPECT_TRUE(zeptest::WaitFor([&] { return hook_.GetRunning() == 0; }));
  EXPECT_TRUE(GroupGone(Number("pgid")));

  // A program that cannot be executed.
  const std::string bad = dir_ + "/bad.sh";
  zeptest::WriteFile(bad, "#!/nonexistent/interpreter\n");
  chmod(bad.c_str(), 0755);
  hook_.SetCommand(bad, 10);
  hook_.Post(HookTestEvent("login"));
  EXPECT_TRUE(zeptest::WaitFor([&] {
    return log_.Count("WARN", "Hook login (account 1): cannot run " + dir_ + "/bad.sh: ") == 1;
  }));
}

TEST_F(HookRuns, TimeOutKillsTheWholeGroupAndLaterEventsWait) {
  const std::string cmd = Script("slow.sh",
                                 "echo $$ >> $D/pgids\n"
                                 "sleep 300 &\n"
                                 "echo $! > $D/child\n"
                                 "sleep 300\n");
  hook_.SetCommand(cmd, 1);
  hook_.Start();
  hook_.Post(HookTestEvent("login"));
  hook_.Post(HookTestEvent("relogin"));
  const long pgid = Number("pgids");
  const long child = Number("child");
  EXPECT_EQ(1u, hook_.GetRunning());
  EXPECT_EQ(1u, hook_.GetWaiting()) << "one run per account";
  ASSERT_TRUE(zeptest::WaitFor([&] {
    return log_.Count("WARN",
                      "Hook login (account 1) ran past its time-out of 1 s: killed with its "
                      "process group.") == 1;
  }));
  EXPECT_TRUE(zeptest::WaitFor([&] { return GroupGone(pgid); })) << "the script and " << child;
  // The waiting event runs once the first is gone.
  EXPECT_TRUE(
      zeptest::WaitFor([&] { return Read("pgids").find('\n') != Read("pgids").rfind('\n'); }));
}

TEST_F(HookRuns, StopKillsRunsWithoutWaitingAndFullQueuesDropTheOldest) {
  const std::string cmd = Script("sleepy.sh", "echo $$ > $D/pgid\nexec sleep 300\n");
  hook_.SetCommand(cmd, 600);
  hook_.Start();
  hook_.Post(HookTestEvent("login"));
  const long pgid = Number("pgid");
  for (size_t i = 0; i < kHookQueueDepth + 1; ++i) hook_.Post(HookTestEvent("relogin"));
  EXPECT_EQ(1, log_.Count("WARN",
                          "Hook queue of account 1 is full: its oldest event (relogin) "
                          "is dropped."));
  EXPECT_EQ(kHookQueueDepth, hook_.GetWaiting());
  const auto before = std::chrono::steady_clock::now();
  hook_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(1, log_.Count("INFO", "Stop: Hook login (account 1) killed with its process group."));
  EXPECT_EQ(0u, hook_.GetWaiting());
  EXPECT_TRUE(zeptest::WaitFor([&] { return GroupGone(pgid); }));
  // Stopped: news is not queued any more.
  hook_.Post(HookTestEvent("login"));
  EXPECT_EQ(0u, hook_.GetWaiting());
}

// A signal that reaches a run between fork and exec (sent to the daemon's
// group before the child has its own) acts as its default would and never
// runs a handler of the daemon in the child. The test's handler records the
// process it runs in; every fork of the test raises the signal in the child
// at once, before fork returns there (pthread_atfork).
std::atomic<int> g_nRaiseInChild{0};
int g_nHandlerPipe = -1;

void RaiseInChild() {
  const int sig = g_nRaiseInChild.load();
  if (sig != 0) raise(sig);
}

void RecordPid(int) {
  const pid_t pid = getpid();
  ssize_t n = write(g_nHandlerPipe, &pid, sizeof pid);
  (void)n;
}

TEST_F(HookRuns, ASignalBeforeExecNeverRunsTheDaemonsHandlerInTheChild) {
  static const bool registered = pthread_atfork(nullptr, nullptr, &RaiseInChild) == 0;
  ASSERT_TRUE(registered);
  int fds[2];
  ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
  g_nHandlerPipe = fds[1];
  const struct {
    int sig;
    bool runs;  // its default: ignored (the program runs) or the end of the child
  } cases[] = {{SIGWINCH, true}, {SIGUSR2, false}};
  hook_.Start();
  for (const auto& c : cases) {
    const std::string label = strsignal(c.sig);
    struct sigaction mine {
    }, before{};
    mine.sa_handler = &RecordPid;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(0, sigaction(c.sig, &mine, &before));
    const std::string ran = "ran" + std::to_string(c.sig);
    hook_.SetCommand(Script("sig.sh", "echo yes > $D/" + ran + "\n"), 10);
    g_nRaiseInChild.store(c.sig);
    hook_.Post(HookTestEvent("login"));
    const std::string died = "Hook login (account 1) ended by signal " + std::to_string(c.sig);
    EXPECT_TRUE(zeptest::WaitFor([&] {
      return c.runs ? Read(ran) == "yes\n" : log_.Count("WARN", died) == 1;
    })) << label;
    EXPECT_TRUE(zeptest::WaitFor([&] { return hook_.GetRunning() == 0; }));
    g_nRaiseInChild.store(0);
    sigaction(c.sig, &before, nullptr);
    if (!c.runs) {
      EXPECT_EQ("", Read(ran)) << label;
    }
    pid_t pid = 0;
    while (read(fds[0], &pid, sizeof pid) == static_cast<ssize_t>(sizeof pid))
      ADD_FAILURE() << label << ": the daemon's handler ran in process " << pid;
  }
  close(fds[0]);
  close(fds[1]);
  g_nHandlerPipe = -1;
}

// A child that cannot set up its streams (here: no descriptor number left
// to it) never runs the program, and its run is told as the exit 126 such a
// child has always made.
std::atomic<bool> g_bStarveChild{false};

void StarveChild() {
  if (!g_bStarveChild.load()) return;
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  lim.rlim_cur = 3;
  (void)setrlimit(RLIMIT_NOFILE, &lim);
}

TEST_F(HookRuns, AChildThatCannotSetUpIsToldAsExitStatus126) {
  static const bool registered = pthread_atfork(nullptr, nullptr, &StarveChild) == 0;
  ASSERT_TRUE(registered);
  hook_.SetCommand(Script("ran.sh", "echo yes >> $D/ran\n"), 10);
  hook_.Start();
  g_bStarveChild.store(true);
  hook_.Post(HookTestEvent("login"));
  const bool told = zeptest::WaitFor(
      [&] { return log_.Count("WARN", "Hook login (account 1) exited with status 126.") == 1; });
  g_bStarveChild.store(false);
  EXPECT_TRUE(told);
  EXPECT_TRUE(zeptest::WaitFor([&] { return hook_.GetRunning() == 0; }));
  EXPECT_EQ("", Read("ran"));
  EXPECT_EQ(0, log_.Count("", "cannot")) << "no other line for it";
  // The account's next event runs as ever.
  hook_.Post(HookTestEvent("login"));
  EXPECT_TRUE(zeptest::WaitFor([&] { return Read("ran") == "yes\n"; }));
}

}  // namespace
