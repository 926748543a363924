// dyrclient under a service manager, against the reference server: the
// notify socket (the test's own datagram socket stands in for the manager),
// the journal's stream, a pipe under either locale, and the configuration
// check run beside a working daemon.
#include <sys/stat.h>
#include <sys/un.h>

#include <regex>

#include "support/notifylistener.h"
#include "withserver.h"

namespace e2e {
namespace {

// "服务启动." in UTF-8.
const char kStartedUtf8[] = "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x90\xaf\xe5\x8a\xa8.";

using zeptest::NotifyListener;

// The next offline request ("C"=5) on `port` within `ms`, and when it
// arrived (the port stamps arrivals).
bool RecvStampedOffline(UdpPort& port, int ms, timespec& at) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  std::string data;
  while (Clock::now() < end) {
    if (zeptest::RecvStamped(port.fd(), 50, data, at) && Prop(data, "C") == "5") return true;
  }
  return false;
}

class ServiceTest : public WithServer {
 protected:
  void StartWith(const std::vector<std::string>& env, const std::string& out = "") {
    ASSERT_TRUE(client_.Start({BinDir() + "/dyrclient", "-w", dir_.path()},
                              out.empty() ? dir_ / "stdout.txt" : out, "/dev/null", "", env));
  }
};

TEST_F(ServiceTest, ManagerHearsReadyStatusReloadAndStoppingBeforeTheOffline) {
  ASSERT_TRUE(StartServer({"--report-span", "60000", "--exit-addr", "203.0.113.47"}));
  // A second account whose server never answers: it keeps logging in.
  UdpPort silent;
  zeptest::StampArrivals(silent.fd());
  const std::string port = std::to_string(silent.port());
  WriteIniFor("gus", "pw", {"g.example.net"},
              "[DYR_CLIENT]\nHost=127.0.0.1\nMainPort=" + port + "\nAsstPort=" + port +
                  "\nUserName=" + Scramble("ned") + "\nPassword=" + Scramble("x") +
                  "\nDomain=n.example.net\n");
  NotifyListener mgr(dir_ / "notify.sock");
  ASSERT_TRUE(mgr.Bound());
  StartWith({mgr.Env(), "WATCHDOG_USEC"});
  const std::string ready = mgr.Next(5000);
  ASSERT_EQ(ready.rfind("READY=1\nSTATUS=2 accounts: ", 0), 0u) << ready << Log();
  const std::string status = "STATUS=2 accounts: 1 logging in, 0 watching, 1 reporting";
  // The login may already be in when READY is sent: it was not waited for.
  if (ready.find(status) == std::string::npos) {
    EXPECT_EQ(ready, "READY=1\nSTATUS=2 accounts: 2 logging in, 0 watching, 0 reporting");
    EXPECT_EQ(mgr.Next(5000), status) << Log();
  }
  EXPECT_NE(Log().find(T_LOGIN_OK), std::string::npos);

  // (The clock of MONOTONIC_USEC is checked against the manager object.)
  ASSERT_TRUE(client_.Signal(SIGHUP));
  const std::string reloading = mgr.Next(5000);
  EXPECT_EQ(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading;
  EXPECT_EQ(mgr.Next(5000), "READY=1\n" + status);
  EXPECT_NE(Log().find("Reload of "), std::string::npos) << "READY came after the reload";

  // STOPPING=1 is queued before either account's offline request: by the
  // arrival stamps, and by the reference server's record.
  ASSERT_TRUE(client_.Signal(SIGTERM));
  timespec offlineAt{}, stoppingAt{};
  ASSERT_TRUE(RecvStampedOffline(silent, 5000, offlineAt));
  ASSERT_TRUE(WaitFor([&] { return CountOf(State(), "state=offline") == 1; }, 5000)) << State();
  EXPECT_EQ(mgr.Next(0, &stoppingAt), "STOPPING=1");
  EXPECT_TRUE(zeptest::Earlier(stoppingAt, offlineAt))
      << stoppingAt.tv_sec << "." << stoppingAt.tv_nsec << " vs " << offlineAt.tv_sec << "."
      << offlineAt.tv_nsec;
  int exitStatus = -1;
  ASSERT_TRUE(client_.Wait(5000, exitStatus));
  EXPECT_EQ(exitStatus, 0);
  EXPECT_EQ(mgr.Next(200), "") << "nothing after the stop";
}

TEST_F(ServiceTest, WatchdogPingsEveryHalfPeriodOnlyForItsOwnProcess) {
  // A server that never answers: READY does not wait for a login.
  ASSERT_TRUE(StartServer({"--reply", "silent"}));
  WriteIniFor("ida", "pw", {"i.example.net"});
  NotifyListener mgr(dir_ / "notify.sock");
  ASSERT_TRUE(mgr.Bound());
  StartWith({mgr.Env(), "WATCHDOG_USEC=400000", "WATCHDOG_PID"});
  EXPECT_EQ(mgr.NextNotPing(5000),
            "READY=1\nSTATUS=1 account: 1 logging in, 0 watching, 0 reporting");
  // A ping every 200 ms: about ten in two seconds, never many more.
  int pings = 0;
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < end) {
    std::string m = mgr.Next(50);
    if (m == "WATCHDOG=1") ++pings;
    EXPECT_TRUE(m.empty() || m == "WATCHDOG=1") << m;
  }
  EXPECT_GE(pings, 4);
  EXPECT_LE(pings, 12);
  EXPECT_NE(Log().find("a watchdog ping every 200 ms"), std::string::npos) << Log();
  EXPECT_EQ(Stop(), 0);
  mgr.Drain();

  // The watchdog of another process: notifications, but no pings.
  StartWith({mgr.Env(), "WATCHDOG_USEC=400000", "WATCHDOG_PID=1"});
  EXPECT_EQ(mgr.NextNotPing(5000).rfind("READY=1\n", 0), 0u);
  EXPECT_EQ(mgr.Next(1000), "");
  EXPECT_NE(Log().find("WATCHDOG_PID 1 is another process"), std::string::npos) << Log();
  EXPECT_EQ(Stop(), 0);
  mgr.Drain();

  // A socket that cannot be addressed: the daemon runs as without one.
  StartWith({"NOTIFY_SOCKET=relative.sock", "WATCHDOG_USEC=400000"});
  ASSERT_TRUE(WaitLog(T_STARTED, 5000, 3)) << Log();
  EXPECT_NE(Log().find(":WARN:NOTIFY_SOCKET \"relative.sock\" is neither an absolute path"),
            std::string::npos)
      << Log();
  EXPECT_EQ(mgr.Next(500), "");
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, JournalStreamGetsPrefixedUtf8LinesWithoutTimeStamps) {
  ASSERT_TRUE(StartServer({"--exit-addr", "203.0.113.48"}));
  WriteIniFor("jo", "pw", {"j.example.net"});
  const std::string out = dir_ / "journal.txt";
  WriteFile(out, "");
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  const std::string stream = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                             std::to_string(static_cast<unsigned long long>(st.st_ino));
  // The journal's form whatever the locale.
  StartWith({"JOURNAL_STREAM=" + stream, "LC_ALL=C"}, out);
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  EXPECT_EQ(Stop(), 0);
  const std::string journal = ReadFile(out);
  // The usage text comes first, as at every start, kept at debug (out of
  // the journal's default view); then only journal lines.
  const size_t first =
      journal.find("<5>MESG:DYR Dynamic DNS Client for Unix  Ver 2.01a Build 120\n");
  ASSERT_NE(first, std::string::npos) << journal;
  EXPECT_EQ(
      journal.rfind("<7>Usage: dyrclient -h -c -w /home/dyrclient \n<7>-h: help message. \n", 0),
      0u)
      << journal;
  std::stringstream usage(journal.substr(0, first));
  size_t usageLines = 0;
  for (std::string line; std::getline(usage, line); ++usageLines)
    EXPECT_EQ(line.rfind("<7>", 0), 0u) << line;
  EXPECT_EQ(usageLines, 6u) << journal;
  std::stringstream lines(journal.substr(first));
  const std::regex prefixed("<[3456]>.*");
  const std::regex stamped(".*[0-9]{6} [0-9]{6}:(MESG|INFO|WARN|ERRR):.*");
  size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_TRUE(std::regex_match(line, prefixed)) << line;
    EXPECT_FALSE(std::regex_match(line, stamped)) << line;
  }
  EXPECT_GT(count, 8u);
  EXPECT_NE(journal.find(std::string("<5>MESG:") + kStartedUtf8 + "\n"), std::string::npos);
  EXPECT_NE(journal.find("<5>Copyright"), std::string::npos) << "the banner's lines are prefixed";
  EXPECT_NE(journal.find("<6>INFO:Account: Host=localhost"), std::string::npos);
  EXPECT_EQ(journal.find(T_STARTED), std::string::npos) << "no GB2312 in the journal";
  EXPECT_EQ(journal.find('\r'), std::string::npos);
  EXPECT_NE(Log().find(std::string(":MESG:") + T_STARTED), std::string::npos)
      << "the file keeps GB2312";
  EXPECT_EQ(Log().find('<'), std::string::npos);
}

TEST_F(ServiceTest, TheCheckUnderTheJournalSaysWhyAtWarningAndErr) {
  const std::string out = dir_ / "check.txt";
  const struct {
    std::string ini;
    int status;
    std::vector<std::string> says;
  } cases[] = {
      {"[DYR_CLIENT]\nHost=h.example.net\nAsstPort=70000\nDomain=d.example.net\n",
       0,
       {"<6>" + dir_.path() + "/dyrclient.ini:\n",
        "<4>WARN: [DYR_CLIENT] section 1 (UserName=): AsstPort \"70000\"",
        "<6>1 account would run.\n"}},
      {"[OTHER]\n", 255, {"<3>dyrclient: No [DYR_CLIENT] section in "}},
  };
  for (const auto& c : cases) {
    WriteFile(dir_ / "dyrclient.ini", c.ini);
    WriteFile(out, "");
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    const std::string stream = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                               std::to_string(static_cast<unsigned long long>(st.st_ino));
    Process p;
    ASSERT_TRUE(p.Start({BinDir() + "/dyrclient", "--check-config", "-w", dir_.path()}, out,
                        "/dev/null", "", {"JOURNAL_STREAM=" + stream}));
    int status = -1;
    ASSERT_TRUE(p.Wait(10000, status));
    EXPECT_EQ(status, c.status);
    const std::string journal = ReadFile(out);
    for (const std::string& s : c.says) EXPECT_NE(journal.find(s), std::string::npos) << journal;
    std::stringstream lines(journal);
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(std::regex_match(line, std::regex("<[346]>.+"))) << line;
  }
  // A start refused at once says why at err too.
  WriteFile(out, "");
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  Process p;
  ASSERT_TRUE(
      p.Start({BinDir() + "/dyrclient", "-w", dir_ / "dyrclient.ini"}, out, "/dev/null", "",
              {"JOURNAL_STREAM=" + std::to_string(static_cast<unsigned long long>(st.st_dev)) +
               ":" + std::to_string(static_cast<unsigned long long>(st.st_ino))}));
  int status = -1;
  ASSERT_TRUE(p.Wait(10000, status));
  EXPECT_EQ(status, 255);
  const std::string journal = ReadFile(out);
  EXPECT_NE(journal.find("\n<3>dyrclient: work directory " + dir_.path() + "/dyrclient.ini/: "),
            std::string::npos)
      << journal;
}

TEST_F(ServiceTest, APipeGetsUtf8UnderAUtf8LocaleAndTheLogsBytesOtherwise) {
  ASSERT_TRUE(StartServer({}));
  WriteIniFor("kim", "pw", {"k.example.net"});
  const std::string fifo = dir_ / "echo.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* locale;
    std::string started;  // the start line as the pipe must show it
    std::string never;
  } cases[] = {
      {"C.UTF-8", std::string(":MESG:") + kStartedUtf8 + "\n", T_STARTED},
      {"C", std::string(":MESG:") + T_STARTED + "\n", kStartedUtf8},
  };
  size_t starts = 0;
  for (const Case& c : cases) {
    // The reader first, so that the daemon's open of the pipe does not wait.
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rd, 0);
    // A JOURNAL_STREAM that names something else changes nothing.
    StartWith({std::string("LC_ALL=") + c.locale, "JOURNAL_STREAM=1:1"}, fifo);
    std::string shown;
    auto drain = [&] {
      char buf[4096];
      for (ssize_t n; (n = read(rd, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<size_t>(n));
      return shown.find(c.started) != std::string::npos;
    };
    EXPECT_TRUE(WaitFor(drain, 5000)) << c.locale << ": " << shown;
    ASSERT_TRUE(WaitLog(T_STARTED, 5000, ++starts));
    EXPECT_EQ(Stop(), 0);
    drain();
    close(rd);
    EXPECT_EQ(shown.find(c.never), std::string::npos) << c.locale;
    EXPECT_TRUE(std::regex_search(shown, std::regex("[0-9]{6} [0-9]{6}:MESG:"))) << shown;
    EXPECT_EQ(CountOf(Log(), T_STARTED), starts) << "the file keeps GB2312";
  }
}

TEST_F(ServiceTest, CheckConfigRunsBesideTheDaemonAndRefusesABrokenFile) {
  ASSERT_TRUE(StartServer({"--exit-addr", "203.0.113.49"}));
  const std::string consoleTail =
      "[CONSOLE]\nPort=2323\nCharset=latin1\n[HOOK]\nCommand=hooks/tell\nTimeout=0\n";
  WriteIniFor("hal", "sesame-pw", {"h.example.net;off.example.net", "i.example.net"},
              consoleTail + "[DYR_CLIENT]\nHost=127.0.0.1\nMainPort=0\nAsstPort=9993\nUserName=" +
                  Scramble("uma") + "\n");
  StartClient();
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  // Every file but those the servers write, and the log, the daemon's
  // standard output and the status file, which the daemon may change
  // meanwhile (its start-up lines may still come; its second account
  // retries every 20 s; every state change rewrites the status file, through
  // a temporary file that may be seen while it is written). Its first write
  // may come after the login line: the snapshot waits for it.
  auto snapshot = [&] {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name == "server.out" || name == "server-state.txt" || name == "run.txt") continue;
      if (name == "dyrclient.status.tmp") continue;
      all += name + "=" +
             (name == "dyrclient.log" || name == "dyrclient.status" || name == "stdout.txt"
                  ? ""
                  : ReadFile(e.path())) +
             "\n";
    }
    return all;
  };
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir_.path() + "/dyrclient.status"); }, 5000));
  const std::string before = snapshot();
  const std::string logBefore = Log();
  std::string out;
  EXPECT_EQ(RunDyr({"--check-config", "-w", dir_.path()}, &out), 0) << out;
  EXPECT_EQ(snapshot(), before) << "the check changed the work directory";
  ASSERT_EQ(Log().compare(0, logBefore.size(), logBefore), 0) << "the log was rewritten";
  EXPECT_EQ(Log().find("Ver 2.01a", logBefore.size()), std::string::npos) << "the check logged";
  EXPECT_EQ(out.find("Usage:"), std::string::npos) << out;
  const std::string expect =
      dir_.path() +
      "/dyrclient.ini:\naccount 1: Host=localhost MainPort=" + std::to_string(main_port_) +
      " AsstPort=" + std::to_string(asst_port_) +
      " UserName=hal\n  Domain=h.example.net offline target off.example.net\n"
      "  Domain=i.example.net (no offline target)\n"
      "account 2: Host=127.0.0.1 MainPort=0 AsstPort=9993 UserName=uma\n"
      "WARN: [DYR_CLIENT] section 2 (UserName=uma): MainPort \"0\" is not a port number from 1 "
      "to 65535\n"
      "WARN: [DYR_CLIENT] section 2 (UserName=uma): no Domain: nothing to keep updated\n"
      "WARN: [CONSOLE] Charset \"latin1\" is neither UTF-8 nor GB2312: the console sends UTF-8\n"
      "WARN: [CONSOLE] has no Password= (there is no default password): no console is started.\n"
      "WARN: [HOOK] Command \"hooks/tell\" is not an absolute path: no hook is run.\n"
      "2 accounts would run.\n";
  EXPECT_EQ(out, expect);
  EXPECT_EQ(out.find("sesame"), std::string::npos) << "never a password";
  EXPECT_TRUE(client_.Running());

  // Broken files: the reason, status 255, and still nothing written.
  struct Broken {
    std::string ini;  // empty: no file at all
    std::string why;
  } broken[] = {
      {"", "dyrclient: cannot read " + dir_.path() +
               "/other/dyrclient.ini: No such file or directory\n"},
      {"[OTHER]\nHost=x\n", "dyrclient: No [DYR_CLIENT] section in " + dir_.path() +
                                "/other/dyrclient.ini: no domain is kept updated.\n"},
      {"[DYR_CLIENT]\r\nHost=x\r\n", "has CR-LF line ends; save it with LF line ends.\n"},
  };
  const std::string other = dir_ / "other";
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  for (const Broken& b : broken) {
    std::remove((other + "/dyrclient.ini").c_str());
    if (!b.ini.empty()) WriteFile(other + "/dyrclient.ini", b.ini);
    EXPECT_EQ(RunDyr({"-t", "-w", other}, &out), 255) << out;
    EXPECT_NE(out.find(b.why), std::string::npos) << out;
    const auto files = std::distance(std::filesystem::directory_iterator(other), {});
    EXPECT_EQ(files, b.ini.empty() ? 0 : 1) << "the check created a file";
  }
  EXPECT_TRUE(client_.Running());
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace e2e
