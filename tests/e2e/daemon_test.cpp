// dyrclient as a daemon: the options that end at once, one instance per work
// directory, private files, load warnings, SIGHUP reload and SIGUSR1.
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "dyr_fixture.h"

namespace e2e {
namespace {

const char kOffline[] =
    "\x01"
    "C=5\x01K=";

std::string OfflineFor(const std::string& id) { return kOffline + id + "\x01"; }

// dyrclient on a pseudo-terminal, as a user at a terminal runs it.
class PtyProcess {
 public:
  ~PtyProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
    if (master_ >= 0) close(master_);
  }
  // `lcAll` is the child's LC_ALL.
  bool Start(const std::vector<std::string>& args, const char* lcAll) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setenv("LC_ALL", lcAll, 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return true;
  }
  // Reads what the terminal shows until it holds `text` (true) or `ms` pass.
  bool WaitFor(const std::string& text, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (shown_.find(text) == std::string::npos) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      char buf[512];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return false;  // the child is gone
      shown_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  void Type(const std::string& text) {
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // SIGTERM, then the exit status (-1 when it did not end within 5 s).
  int Stop() {
    kill(pid_, SIGTERM);
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
      // Keeps the terminal drained so the child never blocks on its echo.
      if (!WaitFor("\x01never", 10)) usleep(10000);
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
    }
    return -1;
  }
  const std::string& Shown() const { return shown_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string shown_;
};

class DaemonTest : public DyrClientTest {
 protected:
  // Runs dyrclient with `args` in `cwd` to its end: the exit status, or -1.
  int RunToEnd(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), BinDir() + "/dyrclient");
    Process p;
    EXPECT_TRUE(p.Start(args, dir_ / "out.txt", "/dev/null", cwd));
    int status = -1;
    return p.Wait(10000, status) ? status : -1;
  }
  std::string Out() { return ReadFile(dir_ / "out.txt"); }
  void Reload(size_t nth) {
    ASSERT_TRUE(client_.Signal(SIGHUP));
    ASSERT_TRUE(WaitLog("Reload of ", 5000, nth)) << Log();
  }
  // Nothing arrives on `port` for `ms`: no login, no offline request.
  static bool Quiet(UdpPort& port, int ms) {
    std::string wire;
    sockaddr_in from{};
    return !port.Recv(wire, from, ms);
  }
  // Answers the next login on `server` with client id `id` and a report
  // period of `spanMs`; the egress address is never local, so state 20.
  void Accept(FakeServer& server, const std::string& id, const char* spanMs = "60000") {
    std::string inner;
    sockaddr_in from{};
    ASSERT_TRUE(server.RecvLogin(inner, from, 5000)) << Log();
    server.main.SendTo(
        from,
        LoginReply({{"OK", "Y"}, {"ExitDYR", "203.0.113.5"}, {"K", id}, {"ReportIPSpan", spanMs}}));
    ASSERT_TRUE(WaitLog(":INFO:203.0.113.5  20", 5000, ++logins_)) << Log();
  }
  size_t logins_ = 0;
};

TEST_F(DaemonTest, VersionHelpAndUnknownOptionsTouchNoFile) {
  TempDir cwd;
  EXPECT_EQ(RunToEnd({"--version"}, cwd.path()), 0);
  EXPECT_EQ(Out(), "dyrclient 2.01a build 120\n");
  EXPECT_EQ(RunToEnd({"-V", "-c"}, cwd.path()), 0);
  EXPECT_EQ(Out(), "dyrclient 2.01a build 120\n");
  EXPECT_EQ(RunToEnd({"--help"}, cwd.path()), 255);
  EXPECT_EQ(Out().rfind("Usage: dyrclient -h -c -w /home/dyrclient \n", 0), 0u) << Out();
  EXPECT_EQ(RunToEnd({"-c", "--verbose", "-x"}, cwd.path()), 255);
  EXPECT_EQ(Out().rfind("unknown option: --verbose\nUsage: dyrclient", 0), 0u) << Out();
  // The wizard was not run and nothing was written.
  EXPECT_EQ(Out().find("Do configuration"), std::string::npos);
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path(), ec)) << "files left in the current directory";
}

TEST_F(DaemonTest, MissingWorkDirectoryAndUnreadableConfigurationAreRefusedAtOnce) {
  std::string missing = dir_ / "gone";
  EXPECT_EQ(RunToEnd({"-w", missing}), 255);
  EXPECT_NE(Out().find("dyrclient: work directory " + missing + "/: No such file or directory"),
            std::string::npos)
      << Out();
  EXPECT_EQ(Out().find("Do configuration"), std::string::npos);

  // A loop of links cannot be read even by root: reported, never taken for
  // a missing file (which would run the wizard).
  ASSERT_EQ(symlink("loop", (dir_ / "dyrclient.ini").c_str()), 0);
  ASSERT_EQ(symlink("dyrclient.ini", (dir_ / "loop").c_str()), 0);
  EXPECT_EQ(RunToEnd({"-w", dir_.path()}), 255);
  EXPECT_NE(Out().find("dyrclient: cannot read " + dir_.path() +
                       "/dyrclient.ini: Too many levels of symbolic links"),
            std::string::npos)
      << Out();
  EXPECT_EQ(Out().find("Do configuration"), std::string::npos);
  EXPECT_FALSE(FileExists(dir_ / "dyrclient.log"));
}

TEST_F(DaemonTest, SecondInstanceIsRefusedAndTheFirstKeepsItsLogin) {
  WriteIni();
  StartClient();
  Accept(server_, "one");
  EXPECT_EQ(RunToEnd({"-w", dir_.path()}), 255);
  EXPECT_NE(Out().find("is in use by process " + std::to_string(client_.pid())), std::string::npos)
      << Out();
  // The refused start neither logged in nor asked for offline, nor logged.
  EXPECT_TRUE(Quiet(server_.main, 500));
  EXPECT_EQ(CountOf(Log(), "Ver 2.01a Build 120"), 1u);
  EXPECT_TRUE(client_.Running());
  EXPECT_EQ(Stop(), 0);
  // Once the first has ended the directory is free again.
  StartClient();
  Accept(server_, "one");
  EXPECT_EQ(Stop(), 0);
}

TEST_F(DaemonTest, LogAndClientIdAreTheOwnersAlone) {
  mode_t old = umask(022);
  WriteFile(dir_ / "clientid.txt", "old");
  chmod((dir_ / "clientid.txt").c_str(), 0644);
  WriteIni();
  StartClient();
  umask(old);
  Accept(server_, "new-id");
  EXPECT_EQ(ReadFile(dir_ / "clientid.txt"), "new-id");
  for (const char* name : {"dyrclient.log", "clientid.txt", "dyrclient.pid"}) {
    struct stat st {};
    ASSERT_EQ(stat((dir_ / name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  EXPECT_EQ(Stop(), 0);
}

TEST_F(DaemonTest, LoadWarningsLeaveTheDaemonRunning) {
  WriteFile(
      dir_ / "dyrclient.ini",
      "[DYR_CLIENT]\nHost=127.0.0.1\nMainPort=0\nAsstPort=9x\nUserName=" + Scramble("u") + "\n");
  StartClient();
  ASSERT_TRUE(WaitLog(T_STARTED, 5000)) << Log();
  EXPECT_NE(Log().find(":WARN:[DYR_CLIENT] section 1 (UserName=u): MainPort \"0\" is not a port "
                       "number from 1 to 65535"),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("AsstPort \"9x\" is not a port"), std::string::npos);
  EXPECT_NE(Log().find("(UserName=u): no Domain"), std::string::npos);
  EXPECT_EQ(CountOf(Log(), ":WARN:"), 3u);
  EXPECT_TRUE(client_.Running());
  // A file without any account is said so too, at a reload as at start.
  WriteFile(dir_ / "dyrclient.ini", "[OTHER]\n");
  Reload(1);
  EXPECT_NE(Log().find(":WARN:No [DYR_CLIENT] section in "), std::string::npos) << Log();
  EXPECT_EQ(Stop(), 0);
}

TEST_F(DaemonTest, ReloadKeepsAddsChangesAndRemovesSections) {
  FakeServer other;
  Account a{&server_};
  Account b{&other};
  b.user = "bob";
  WriteIni({a});
  StartClient();
  Accept(server_, "A");

  // Unchanged: the node is left alone (no new login, no offline request).
  Reload(1);
  EXPECT_NE(Log().find("1 account(s) kept, 0 stopped, 0 started."), std::string::npos) << Log();
  EXPECT_TRUE(Quiet(server_.main, 500));

  // Added: one new login, for the new section only.
  WriteIni({a, b});
  Reload(2);
  Accept(other, "B");
  EXPECT_TRUE(Quiet(server_.main, 300));

  // Removed: its offline request, and the other section goes on untouched.
  WriteIni({a});
  Reload(3);
  std::string wire;
  sockaddr_in from{};
  ASSERT_TRUE(other.main.Recv(wire, from, 3000));
  EXPECT_EQ(wire, OfflineFor("B"));
  EXPECT_NE(Log().find("1 account(s) kept, 1 stopped, 0 started."), std::string::npos) << Log();
  EXPECT_TRUE(Quiet(server_.main, 300));

  // Changed: the old node's offline request comes before the new login.
  a.domains = {"z.example.net"};
  WriteIni({a});
  Reload(4);
  ASSERT_TRUE(server_.main.Recv(wire, from, 3000));
  EXPECT_EQ(wire, OfflineFor("A"));
  std::string inner;
  ASSERT_TRUE(server_.RecvLogin(inner, from, 3000));
  EXPECT_EQ(Prop(inner, "Domain0"), "z.example.net;");

  // Unreadable: everything is kept and the log says why.
  std::remove((dir_ / "dyrclient.ini").c_str());
  ASSERT_TRUE(client_.Signal(SIGHUP));
  ASSERT_TRUE(WaitLog("Reload: cannot read ", 3000)) << Log();
  EXPECT_NE(Log().find("No such file or directory; the 1 running account(s) are kept."),
            std::string::npos)
      << Log();
  EXPECT_TRUE(Quiet(server_.main, 300));
  EXPECT_TRUE(client_.Running());
  EXPECT_EQ(Stop(), 0);
}

TEST_F(DaemonTest, Sigusr1MakesEveryAccountActNow) {
  WriteIni();
  StartClient();
  // Logging in: a new attempt at once rather than after the retry period.
  std::string inner;
  sockaddr_in from{};
  ASSERT_TRUE(server_.RecvLogin(inner, from, 5000));
  ASSERT_TRUE(client_.Signal(SIGUSR1));
  ASSERT_TRUE(server_.RecvLogin(inner, from, 1500)) << Log();
  server_.main.SendTo(
      from,
      LoginReply({{"OK", "Y"}, {"ExitDYR", "203.0.113.5"}, {"K", "R"}, {"ReportIPSpan", "60000"}}));
  ASSERT_TRUE(WaitLog(":INFO:203.0.113.5  20", 5000)) << Log();

  // Reporting every minute: a report within a second of the signal.
  std::string report;
  EXPECT_TRUE(Quiet(server_.asst, 300));
  auto sent = Clock::now();
  ASSERT_TRUE(client_.Signal(SIGUSR1));
  ASSERT_TRUE(server_.asst.Recv(report, from, 1000)) << Log();
  EXPECT_EQ(report, "R");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - sent).count(), 1.0);
  EXPECT_TRUE(client_.Running());
  EXPECT_EQ(Stop(), 0);
}

TEST_F(DaemonTest, EchoOnAUtf8TerminalIsConvertedAndTheLogKeepsGb2312) {
  WriteIni();
  const std::string startedUtf8 = "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x90\xaf\xe5\x8a\xa8.";  // 服务启动.
  {
    PtyProcess term;
    ASSERT_TRUE(term.Start({BinDir() + "/dyrclient", "-w", dir_.path()}, "C.UTF-8"));
    EXPECT_TRUE(term.WaitFor(":MESG:" + startedUtf8, 5000)) << term.Shown();
    EXPECT_EQ(term.Stop(), 0);
    EXPECT_EQ(term.Shown().find(T_STARTED), std::string::npos);
  }
  {
    PtyProcess term;
    ASSERT_TRUE(term.Start({BinDir() + "/dyrclient", "-w", dir_.path()}, "C"));
    EXPECT_TRUE(term.WaitFor(std::string(":MESG:") + T_STARTED, 5000)) << term.Shown();
    EXPECT_EQ(term.Stop(), 0);
  }
  EXPECT_EQ(CountOf(Log(), T_STARTED), 2u);
  EXPECT_EQ(Log().find(startedUtf8), std::string::npos);
}

TEST_F(DaemonTest, WizardOnATerminalDoesNotShowThePassword) {
  PtyProcess term;
  ASSERT_TRUE(term.Start({BinDir() + "/dyrclient", "-w", dir_.path()}, "C"));
  ASSERT_TRUE(term.WaitFor("Input User name: ", 5000)) << term.Shown();
  term.Type("someone\n");
  ASSERT_TRUE(term.WaitFor("Input Password: ", 5000)) << term.Shown();
  term.Type("s3cret-pw\n");
  ASSERT_TRUE(term.WaitFor("Input Domain: ", 5000)) << term.Shown();
  term.Type("d.example.net\n");
  ASSERT_TRUE(term.WaitFor("(Enter for none): ", 5000));
  term.Type("\n");
  ASSERT_TRUE(term.WaitFor("(Y/N): ", 5000));
  term.Type("n\n");
  ASSERT_TRUE(term.WaitFor(std::string(":MESG:") + T_STARTED, 5000)) << term.Shown();
  EXPECT_EQ(term.Stop(), 0);
  // The name was echoed as typed, the password not; the file has both.
  EXPECT_NE(term.Shown().find("someone"), std::string::npos) << term.Shown();
  EXPECT_NE(term.Shown().find("d.example.net"), std::string::npos) << "echo is back";
  EXPECT_EQ(term.Shown().find("s3cret"), std::string::npos) << term.Shown();
  EXPECT_NE(term.Shown().find("Input Password: \r\nInput Domain: "), std::string::npos)
      << term.Shown();
  std::string ini = ReadFile(dir_ / "dyrclient.ini");
  size_t at = ini.find("Password=");
  ASSERT_NE(at, std::string::npos) << ini;
  EXPECT_EQ(Unscramble(ini.substr(at + 9, ini.find('\n', at) - at - 9)), "s3cret-pw");
}

}  // namespace
}  // namespace e2e
