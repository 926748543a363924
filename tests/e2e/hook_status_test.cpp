// The real daemon against the reference server: the [HOOK] program's
// events and environment, a hook that never ends, the status file and the
// three answers of --status.
#include <sys/stat.h>

#include <chrono>

#include "support/processes.h"
#include "withserver.h"

namespace e2e {
namespace {

class HookStatusTest : public WithServer {
 protected:
  // A hook script in the work directory; $D is the directory.
  std::string HookScript(const std::string& body) {
    const std::string path = dir_ / "hook.sh";
    WriteFile(path, "#!/bin/sh\nD=" + dir_.path() + "\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
  // The blocks the recording hook wrote, one per run.
  std::vector<std::string> Runs() {
    std::vector<std::string> runs;
    const std::string text = ReadFile(dir_ / "events.txt");
    for (size_t at = text.find("BEGIN\n"); at != std::string::npos;) {
      const size_t end = text.find("END\n", at);
      if (end == std::string::npos) break;
      runs.push_back(text.substr(at + 6, end - at - 6));
      at = text.find("BEGIN\n", end);
    }
    return runs;
  }
  int StatusCommand(std::string* out = nullptr) {
    return RunDyr({"--status", "-w", dir_.path()}, out);
  }
  int Reports() { return Counter(State(), "reports"); }
};

TEST_F(HookStatusTest, HookSeesTheLoginAndTheServersRelogin) {
  ASSERT_TRUE(StartServer({"--exit-addr", "203.0.113.7", "--report-span", "300"}));
  const std::string hook = HookScript(
      "{ echo BEGIN; env | grep '^DYR_' | sort; echo END; } >> $D/events.txt\n"
      "echo \"told of $DYR_EVENT\"\n");
  WriteIniFor("alice", "pw", {"a.example.net"}, "[HOOK]\nCommand=" + hook + "\n");
  StartClient();
  ASSERT_TRUE(WaitFor([&] { return Runs().size() >= 1; })) << Log();
  EXPECT_EQ(
      "DYR_ACCOUNT=1\nDYR_CLIENTID=10001\nDYR_EGRESS=203.0.113.7\nDYR_EVENT=login\n"
      "DYR_HOST=localhost\nDYR_MESSAGE=welcome\nDYR_USER=alice\n",
      Runs()[0]);
  EXPECT_TRUE(WaitLog(":INFO:Hook login (account 1): told of login", 5000)) << Log();

  // The server asks every client that has reported to log in again.
  ASSERT_TRUE(WaitFor([&] { return Reports() >= 1; })) << State();
  server_proc_.Signal(SIGUSR1);
  ASSERT_TRUE(WaitFor([&] { return Runs().size() >= 3; })) << Log();
  const std::vector<std::string> runs = Runs();
  EXPECT_NE(std::string::npos, runs[1].find("DYR_EVENT=relogin\n")) << runs[1];
  EXPECT_NE(std::string::npos, runs[1].find("DYR_REASON=server\n")) << runs[1];
  EXPECT_NE(std::string::npos, runs[1].find("DYR_EGRESS=203.0.113.7\n")) << runs[1];
  EXPECT_NE(std::string::npos, runs[2].find("DYR_EVENT=login\n")) << runs[2];
  EXPECT_EQ(Stop(), 0);
}

TEST_F(HookStatusTest, HookThatSleepsHoldsUpNeitherReportsNorTheStop) {
  ASSERT_TRUE(StartServer({"--exit-addr", "203.0.113.7", "--report-span", "300"}));
  const std::string hook = HookScript("echo $$ > $D/hook.pgid\nsleep 300\n");
  WriteIniFor("alice", "pw", {"a.example.net"}, "[HOOK]\nCommand=" + hook + "\nTimeout=600\n");
  StartClient();
  long pgid = 0;
  ASSERT_TRUE(WaitFor([&] { return (pgid = std::atol(ReadFile(dir_ / "hook.pgid").c_str())) > 0; }))
      << Log();
  ASSERT_TRUE(zeptest::GroupAlive(pgid));
  // Reports every 300 ms go on while the hook sleeps.
  const int before = Reports();
  EXPECT_TRUE(WaitFor([&] { return Reports() >= before + 5; })) << State();
  EXPECT_TRUE(zeptest::GroupAlive(pgid));

  const auto stopAt = Clock::now();
  EXPECT_EQ(Stop(), 0);
  EXPECT_LT(Clock::now() - stopAt, std::chrono::seconds(5));
  EXPECT_NE(std::string::npos,
            Log().find(":INFO:Stop: Hook login (account 1) killed with its process group."))
      << Log();
  EXPECT_TRUE(WaitFor([&] { return !zeptest::GroupAlive(pgid); }))
      << "no process of the hook's group may be left";
}

TEST_F(HookStatusTest, StatusFileAndTheThreeAnswersOfStatus) {
  // The first login goes unanswered: the account stays logging in.
  ASSERT_TRUE(StartServer(
      {"--exit-addr", "203.0.113.7", "--report-span", "60000", "--reply", "silent,ok"}));
  WriteIniFor("alice", "pw", {"a.example.net"});
  EXPECT_EQ(255, StatusCommand()) << "no daemon yet";
  StartClient();
  const std::string status = dir_ / "dyrclient.status";
  ASSERT_TRUE(WaitFor([&] { return FileExists(status); })) << Log();
  std::string out;
  EXPECT_EQ(1, StatusCommand(&out));
  EXPECT_EQ(0u, out.find("account 1 host=localhost user=alice state=0 ")) << out;

  // SIGUSR1 logs in at once; the server answers this one.
  client_.Signal(SIGUSR1);
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  EXPECT_TRUE(WaitFor([&] { return StatusCommand(&out) == 0; }));
  EXPECT_EQ(0u, out.find("account 1 host=localhost user=alice state=20 egress=203.0.113.7 "
                         "id=10001 login_age="))
      << out;
  const std::string text = ReadFile(status);
  for (const std::string& part :
       {"{\"pid\":" + std::to_string(client_.pid()) + ",\"version\":\"2.01a build 120\",",
        std::string("\"accounts\":[{\"account\":1,\"host\":\"localhost\",\"user\":\"alice\","
                    "\"state\":20,\"egress\":\"203.0.113.7\",\"client_id\":\"10001\","
                    "\"last_login\":"),
        std::string("\"last_report\":null}]}\n")}) {
    EXPECT_NE(std::string::npos, text.find(part)) << part << "\n" << text;
  }
  // (Its mode, 0600, is checked against the writer itself.)

  EXPECT_EQ(Stop(), 0);
  EXPECT_FALSE(FileExists(status)) << "the orderly stop removes it";
  EXPECT_EQ(255, StatusCommand(&out));
}

}  // namespace
}  // namespace e2e
