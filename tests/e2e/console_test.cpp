// The daemon's administration console against the real dyrclient and the
// reference server, over loopback TCP: login, status, relogin, the log copy,
// refusals, no console without a complete [CONSOLE] section, and a session
// typed as a telnet client in character mode types it, in both charsets.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/telnetpeer.h"
#include "withserver.h"

namespace e2e {
namespace {

using telnettest::Peer;

// What the console sends first: IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD.
const std::string kConsoleOffer("\xff\xfb\x01\xff\xfb\x03");
// T_LOGIN_OK (登录成功!) in UTF-8.
const std::string kConsoleLoginOkUtf8("\xe7\x99\xbb\xe5\xbd\x95\xe6\x88\x90\xe5\x8a\x9f!");

class ConsoleTest : public WithServer {
 protected:
  static std::string Section(const std::string& user, int main, int asst) {
    return "[DYR_CLIENT]\nHost=localhost\nMainPort=" + std::to_string(main) +
           "\nAsstPort=" + std::to_string(asst) + "\nUserName=" + Scramble(user) +
           "\nPassword=" + Scramble("pw") + "\nDomain=" + user + ".example.net\n";
  }
  // Two accounts with the console section between them.
  void WriteIniWithConsole(const std::string& console) {
    WriteFile(dir_ / "dyrclient.ini", Section("gus", main_port_, asst_port_) + console +
                                          Section("hal", main_port_, asst_port_));
  }
  // The port the console listens on, from its log line; -1 if none.
  // The server with `exitAddr` as every account's egress, the daemon with a
  // console (password "adm1n") and both accounts logged in; the console's
  // port, or -1.
  int StartWithConsole(const std::string& exitAddr) {
    if (!StartServer({"--report-span", "60000", "--exit-addr", exitAddr})) return -1;
    WriteIniWithConsole("[CONSOLE]\nPort=0\nPassword=" + Scramble("adm1n") + "\n");
    StartClient();
    if (!WaitFor([&] { return Counter(State(), "logins") == 2; }, 5000)) return -1;
    return ConsolePort(5000);
  }
  int ConsolePort(int ms) {
    int port = -1;
    WaitFor(
        [&] {
          std::string log = Log();
          size_t at = log.find("Console listening on 127.0.0.1:");
          if (at == std::string::npos) return false;
          port = std::atoi(log.c_str() + at + 31);
          return port > 0;
        },
        ms);
    return port;
  }
  // A port nothing listens on (taken from the kernel, then freed).
  static int FreePort() {
    int s = nettest::PlainListener();
    int port = nettest::LocalPort(s);
    close(s);
    return port;
  }
};

TEST_F(ConsoleTest, LoginStatusReloginLogCopyAndQuit) {
  ASSERT_TRUE(StartServer({"--report-span", "60000", "--exit-addr", "203.0.113.50"}));
  WriteIniWithConsole("[CONSOLE]\nPort=0\nPassword=" + Scramble("adm1n") + "\n");
  StartClient();
  ASSERT_TRUE(WaitFor([&] { return Counter(State(), "logins") == 2; }, 5000)) << State();
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000, 2)) << Log();
  const int port = ConsolePort(5000);
  ASSERT_GT(port, 0) << Log();

  Peer p(port);
  ASSERT_TRUE(p.Login("adm1n")) << p.got;
  size_t at = p.got.size();
  p.Write("status\r\n");
  ASSERT_TRUE(p.WaitFor("ADMIN>", 5000, at)) << p.got;
  const std::string status = p.got.substr(at);
  EXPECT_NE(std::string::npos, status.find("status\r\naccount 1 host=localhost user=gus state=20 "
                                           "egress=203.0.113.50 id="))
      << status;
  EXPECT_NE(std::string::npos, status.find("\r\naccount 2 host=localhost user=hal state=20 "))
      << status;
  EXPECT_NE(std::string::npos, status.find(" login_age=")) << status;
  EXPECT_NE(std::string::npos, status.find(" report_age=-\r\nADMIN>")) << status;

  at = p.got.size();
  p.Write("log on\r\n");
  ASSERT_TRUE(p.WaitFor("log copy on\r\nADMIN>", 5000, at)) << p.got;
  at = p.got.size();
  p.Write("relogin all\r\n");
  ASSERT_TRUE(p.WaitFor("relogin: 2 account(s)\r\n", 5000, at)) << p.got;
  EXPECT_TRUE(WaitFor([&] { return Counter(State(), "logins") == 4; }, 5000)) << State();
  // The log's next lines arrive on the console as they are written, in UTF-8.
  EXPECT_TRUE(p.WaitFor(":MESG:" + kConsoleLoginOkUtf8, 5000, at)) << p.got;

  at = p.got.size();
  // Neither a number past any index nor one that is no index at all (zero, a
  // sign, trailing text) relogs anybody in.
  p.Write(
      "relogin 3\r\nrelogin x\r\nrelogin 0\r\nrelogin -1\r\nrelogin 2x\r\n"
      "relogin 99999999999999999999\r\nbogus thing\r\nreport\r\n");
  ASSERT_TRUE(p.WaitFor("Report End", 5000, at)) << p.got;
  const std::string answers = p.got.substr(at);
  EXPECT_NE(std::string::npos, answers.find("no account 3\r\n")) << answers;
  EXPECT_NE(std::string::npos, answers.find("no account 99999999999999999999\r\n")) << answers;
  size_t usages = 0;
  for (size_t i = answers.find("usage: relogin N|all\r\n"); i != std::string::npos;
       i = answers.find("usage: relogin N|all\r\n", i + 1))
    ++usages;
  EXPECT_EQ(4u, usages) << answers;
  EXPECT_NE(std::string::npos, answers.find("unknown command: bogus thing\r\n")) << answers;
  EXPECT_NE(std::string::npos, answers.find("Total Nodes")) << answers;

  at = p.got.size();
  p.Write("sample\r\n");
  EXPECT_TRUE(p.WaitFor("Byte/Second", 10000, at)) << p.got;
  p.Write("quit\r\n");
  EXPECT_TRUE(p.WaitClosed(5000));
  EXPECT_EQ(Stop(), 0);
}

// The egress address is the server's text: a control character in it
// reaches the console escaped, as in the log, never as itself.
TEST_F(ConsoleTest, StatusEscapesTheServersText) {
  const int port = StartWithConsole("203.0.113.54\x1b[2J\x07");
  ASSERT_GT(port, 0) << State() << Log();
  Peer p(port);
  ASSERT_TRUE(p.Login("adm1n")) << p.got;
  const size_t at = p.got.size();
  p.Write("status\r\n");
  ASSERT_TRUE(p.WaitFor("ADMIN>", 5000, at)) << p.got;
  const std::string status = p.got.substr(at);
  EXPECT_NE(std::string::npos, status.find(" egress=203.0.113.54\\x1b[2J\\x07 id=")) << status;
  EXPECT_EQ(std::string::npos, status.find('\x1b')) << status;
  EXPECT_EQ(Stop(), 0);
}

// A telnet client in character mode: it takes the offer (DO ECHO, DO SGA)
// and sends every key in a packet of its own, Enter as CR NUL.
TEST_F(ConsoleTest, OneKeyPerPacketSessionAndTheLogCopyInEitherCharset) {
  const int port = StartWithConsole("203.0.113.53");
  ASSERT_GT(port, 0) << State() << Log();

  Peer p(port);
  const int one = 1;
  ASSERT_EQ(0, setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one));
  ASSERT_TRUE(p.WaitFor("Password:")) << p.got;
  EXPECT_EQ(kConsoleOffer + "Password:", p.got);
  p.Write("\xff\xfd\x01");
  p.Write("\xff\xfd\x03");
  // The password: nothing comes back for any key, nor for the agreement.
  for (char key : std::string("adm1n")) {
    p.Write(std::string(1, key));
    EXPECT_TRUE(p.Quiet(50)) << p.got;
  }
  p.Write("\r");
  p.Write(std::string(1, '\0'));
  ASSERT_TRUE(p.WaitFor("\r\nADMIN>")) << p.got;
  EXPECT_EQ(kConsoleOffer + "Password:\r\nADMIN>", p.got);
  // Each key comes back once, as it is typed; DEL erases.
  auto type = [&](const std::string& keys) {
    for (char key : keys) {
      const size_t from = p.got.size();
      p.Write(std::string(1, key));
      if (key == '\0') continue;  // the rest of the line end: nothing back
      const std::string back = key == '\x7f' ? "\b \b" : key == '\r' ? "\r\n" : std::string(1, key);
      ASSERT_TRUE(p.WaitFor(back, 5000, from)) << p.got;
    }
  };
  size_t at = p.got.size();
  type(std::string("statux\x7fs\r\0", 10));
  ASSERT_TRUE(p.WaitFor("ADMIN>", 5000, at)) << p.got;
  EXPECT_EQ(at, p.got.find("statux\b \bs\r\naccount 1 host=localhost user=gus state=20 ", at))
      << p.got.substr(at);
  EXPECT_EQ(1u, CountOf(p.got, "statu")) << p.got;
  at = p.got.size();
  type(std::string("log on\r\0", 8));
  ASSERT_TRUE(p.WaitFor("log on\r\nlog copy on\r\nADMIN>", 5000, at)) << p.got.substr(at);
  type(std::string("relogin all\r\0", 13));
  // The log's Chinese lines arrive in UTF-8; their GB2312 bytes never do.
  EXPECT_TRUE(p.WaitFor(":MESG:" + kConsoleLoginOkUtf8, 5000, at)) << p.got.substr(at);
  EXPECT_EQ(std::string::npos, p.got.find(T_LOGIN_OK)) << p.got;
  // The six bytes of the offer came once, and nothing else of telnet's.
  EXPECT_EQ(1u, CountOf(p.got, kConsoleOffer)) << p.got;
  EXPECT_EQ(2u, CountOf(p.got, "\xff")) << p.got;

  // A changed section restarts the console. GB2312: the copy keeps the log's
  // own bytes. An unknown Charset: one WARN line, and UTF-8 again (a change
  // from GB2312).
  const struct {
    const char* charset;
    std::string copy, never;
  } restarts[] = {{"GB2312", T_LOGIN_OK, kConsoleLoginOkUtf8},
                  {"klingon", kConsoleLoginOkUtf8, T_LOGIN_OK}};
  std::unique_ptr<Peer> q;
  size_t restarted = 0;
  for (const auto& r : restarts) {
    WriteIniWithConsole("[CONSOLE]\nPort=" + std::to_string(port) + "\nCharset=" + r.charset +
                        "\nPassword=" + Scramble("adm1n") + "\n");
    client_.Signal(SIGHUP);
    ASSERT_TRUE(WaitLog("console restarted.", 5000, ++restarted)) << Log();
    EXPECT_TRUE((q ? *q : p).WaitClosed(5000)) << r.charset;
    q.reset(new Peer(port));
    ASSERT_TRUE(q->WaitFor(kConsoleOffer + "Password:")) << q->got;
    ASSERT_TRUE(q->Login("adm1n")) << q->got;
    at = q->got.size();
    q->Write("log on\r\nrelogin all\r\n");
    EXPECT_TRUE(q->WaitFor(":MESG:" + r.copy, 5000, at)) << r.charset << q->got.substr(at);
    EXPECT_EQ(std::string::npos, q->got.find(r.never)) << r.charset << q->got;
  }
  EXPECT_EQ(1u, CountOf(Log(), ":WARN:[CONSOLE] Charset \"klingon\" is neither UTF-8 nor GB2312"))
      << Log();
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ConsoleTest, WrongPasswordClosesAndTheAccountsCarryOn) {
  ASSERT_TRUE(StartServer({"--report-span", "60000", "--exit-addr", "203.0.113.51"}));
  WriteIniWithConsole("[CONSOLE]\nHost=127.0.0.1\nPort=0\nPassword=" + Scramble("adm1n") + "\n");
  StartClient();
  const int port = ConsolePort(5000);
  ASSERT_GT(port, 0) << Log();
  Peer p(port);
  ASSERT_TRUE(p.WaitFor("Password:"));
  p.Write("adm1N\r\nstatus\r\n");
  EXPECT_TRUE(p.WaitClosed(5000));
  EXPECT_EQ(std::string::npos, p.got.find("account")) << p.got;
  EXPECT_TRUE(WaitLog("wrong password, connection closed.", 5000)) << Log();
  EXPECT_EQ(1u, CountOf(Log(), ":WARN:Console 127.0.0.1:")) << Log();
  EXPECT_TRUE(WaitFor([&] { return Counter(State(), "logins") == 2; }, 5000)) << State();
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ConsoleTest, NoSectionOrNoPasswordMeansNoListeningSocket) {
  ASSERT_TRUE(StartServer({"--report-span", "60000"}));
  const int port = FreePort();
  ASSERT_GT(port, 0);
  WriteIniWithConsole("[CONSOLE]\nPort=" + std::to_string(port) + "\n");
  StartClient();
  ASSERT_TRUE(WaitLog("[CONSOLE] has no Password=", 5000)) << Log();
  EXPECT_EQ(1u, CountOf(Log(), ":WARN:[CONSOLE] has no Password="));
  // The section took nothing from the accounts around it.
  EXPECT_TRUE(WaitFor([&] { return Counter(State(), "logins") == 2; }, 5000)) << State();
  EXPECT_LT(nettest::PlainConnect(port), 0);
  EXPECT_EQ(0u, CountOf(Log(), "Console listening"));
  EXPECT_EQ(Stop(), 0);

  // No section at all: nothing listens either, and nothing is said.
  WriteIniWithConsole("");
  StartClient();
  EXPECT_TRUE(WaitFor([&] { return Counter(State(), "logins") == 4; }, 5000)) << State();
  EXPECT_EQ(0u, CountOf(Log(), "Console listening"));
  EXPECT_LT(nettest::PlainConnect(port), 0);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ConsoleTest, ReloadKeepsAnUnchangedConsoleAndRestartsAChangedOne) {
  ASSERT_TRUE(StartServer({"--report-span", "60000"}));
  WriteIniWithConsole("[CONSOLE]\nPort=0\nPassword=" + Scramble("one") + "\n");
  StartClient();
  const int port = ConsolePort(5000);
  ASSERT_GT(port, 0) << Log();
  Peer p(port);
  ASSERT_TRUE(p.Login("one"));
  client_.Signal(SIGHUP);
  ASSERT_TRUE(WaitLog("console kept.", 5000)) << Log();
  size_t at = p.got.size();
  p.Write("help\r\n");
  EXPECT_TRUE(p.WaitFor("log on|off", 5000, at)) << p.got;
  // A new password: the old sessions end, the new one asks for it.
  WriteIniWithConsole("[CONSOLE]\nPort=" + std::to_string(port) + "\nPassword=" + Scramble("two") +
                      "\n");
  client_.Signal(SIGHUP);
  ASSERT_TRUE(WaitLog("console restarted.", 5000)) << Log();
  EXPECT_TRUE(p.WaitClosed(5000));
  Peer q(port);
  ASSERT_TRUE(q.Login("two")) << q.got;
  // The section removed: no console.
  WriteIniWithConsole("");
  client_.Signal(SIGHUP);
  ASSERT_TRUE(WaitLog("console stopped.", 5000)) << Log();
  EXPECT_TRUE(q.WaitClosed(5000));
  EXPECT_EQ(Stop(), 0);
}

// As many consoles as may run at once (8), all logged in together, while one
// more is refused; then they leave (half by quit, half mid-line) and leave
// nothing behind.
TEST_F(ConsoleTest, EightConsolesAtOnceANinthIsRefusedAndTheAccountsKeepReporting) {
  ASSERT_TRUE(StartServer({"--report-span", "300", "--exit-addr", "203.0.113.52"}));
  WriteIniWithConsole("[CONSOLE]\nPort=0\nPassword=" + Scramble("adm1n") + "\n");
  StartClient();
  const int port = ConsolePort(5000);
  ASSERT_GT(port, 0) << Log();
  ASSERT_TRUE(WaitFor([&] { return Counter(State(), "reports") > 0; }, 5000)) << State();
  const int reportsBefore = Counter(State(), "reports");
  std::atomic<int> done{0}, in{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> admins;
  for (int i = 0; i < 8; ++i) {
    admins.emplace_back([&, i] {
      Peer p(port);
      if (p.fd < 0 || !p.Login("adm1n")) return;
      in.fetch_add(1);
      if (!WaitFor([&] { return go.load(); }, 20000)) return;
      if (i % 3 == 0) p.Write("log on\r\n");
      for (int k = 0; k < 5; ++k) p.Write("status\r\nhelp\r\n");
      if (!p.WaitFor("account 2 ", 10000)) return;
      if (i % 2 == 0) {
        p.Write("quit\r\n");
        if (!p.WaitClosed(10000)) return;
      } else {
        p.Write("stat");  // gone mid-line
      }
      done.fetch_add(1);
    });
  }
  EXPECT_TRUE(WaitFor([&] { return in.load() == 8; }, 20000)) << in.load();
  Peer ninth(port);
  EXPECT_TRUE(ninth.WaitClosed(10000));
  EXPECT_EQ("too many console sessions (8), try again later\r\n", ninth.got);
  go.store(true);
  for (std::thread& t : admins) t.join();
  EXPECT_EQ(8, done.load());
  EXPECT_TRUE(WaitLog(": too many console sessions (8), connection refused.", 5000)) << Log();
  // Only the two accounts, the listener, the console asking (and the
  // address watch) are left. The sessions that left mid-line free their
  // places as the daemon sees their connections close.
  const std::string nodes = "Total Nodes           : " + std::to_string(4 + WatchNodes()) + "\r\n";
  std::unique_ptr<Peer> last;
  ASSERT_TRUE(WaitFor(
      [&] {
        last.reset(new Peer(port));
        return last->Login("adm1n");
      },
      10000));
  EXPECT_TRUE(WaitFor(
      [&] {
        size_t at = last->got.size();
        last->Write("report\r\n");
        return last->WaitFor("Report End", 5000, at) &&
               last->got.find(nodes, at) != std::string::npos;
      },
      10000))
      << last->got.substr(last->got.size() > 2000 ? last->got.size() - 2000 : 0);
  EXPECT_TRUE(WaitFor([&] { return Counter(State(), "reports") >= reportsBefore + 4; }, 5000))
      << State();
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace e2e
