// Passwords outside dyrclient.ini, with the real daemon and the reference
// server (which checks them): a systemd credential that logs in and is read
// again at a reload, and a password file that is refused while others may
// read it, in the log and in --check-config, and taken once it is private.
// The password appears in no file the daemon writes.
#include <sys/stat.h>

#include <filesystem>

#include "withserver.h"

namespace e2e {
namespace {

class SecretsTest : public WithServer {
 protected:
  void StartWith(const std::vector<std::string>& env) {
    ASSERT_TRUE(client_.Start({BinDir() + "/dyrclient", "-w", dir_.path()}, dir_ / "stdout.txt",
                              "/dev/null", "", env));
  }
  // `dyrclient ARGS` to its end with `env`: its status, its output in `out`.
  int RunWith(const std::vector<std::string>& args, const std::vector<std::string>& env,
              std::string& out) {
    std::vector<std::string> argv = {BinDir() + "/dyrclient"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    EXPECT_TRUE(p.Start(argv, dir_ / "run.txt", "/dev/null", "", env));
    int status = -1;
    if (!p.Wait(10000, status)) return -1;
    out = ReadFile(dir_ / "run.txt");
    std::remove((dir_ / "run.txt").c_str());
    return status;
  }
  // The account of WriteIniFor with `passwordLine` in place of Password=.
  void WriteIniWith(const std::string& user, const std::string& passwordLine,
                    const std::string& domain) {
    WriteFile(dir_ / "dyrclient.ini",
              "[DYR_CLIENT]\nHost=127.0.0.1\nMainPort=" + std::to_string(main_port_) +
                  "\nAsstPort=" + std::to_string(asst_port_) + "\nUserName=" + Scramble(user) +
                  "\n" + passwordLine + "\nDomain=" + domain + "\n");
  }
  // No file of the work directory (the secrets' own directory aside) holds
  // `secret`.
  void ExpectNowhere(const std::string& secret) {
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      if (!e.is_regular_file()) continue;
      EXPECT_EQ(ReadFile(e.path()).find(secret), std::string::npos)
          << e.path().filename().string() << " holds the password";
    }
  }
};

TEST_F(SecretsTest, CredentialLogsInAndAChangedOneIsReadAtTheReload) {
  ASSERT_TRUE(StartServer({"--account", "cara:Cred-s3cret-1"}));
  const std::string creds = dir_ / "creds";
  ASSERT_EQ(mkdir(creds.c_str(), 0700), 0);
  WriteFile(creds + "/dyr.cara", "Cred-s3cret-1\n");
  ASSERT_EQ(chmod((creds + "/dyr.cara").c_str(), 0400), 0);
  WriteIniWith("cara", "PasswordCredential=dyr.cara", "c.example.net");
  const std::vector<std::string> env = {"CREDENTIALS_DIRECTORY=" + creds};

  std::string out;
  EXPECT_EQ(RunWith({"--check-config", "-w", dir_.path()}, env, out), 0) << out;
  EXPECT_NE(out.find("UserName=cara\n  password: from credential dyr.cara\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("1 account would run.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;

  StartWith(env);
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  EXPECT_NE(Log().find(":INFO:[DYR_CLIENT] section 1 (UserName=cara): password from credential "
                       "dyr.cara.\n"),
            std::string::npos)
      << Log();
  EXPECT_EQ(Counter(State(), "logins"), 1) << State();

  // An unchanged credential keeps the account; a changed one restarts it
  // with the new password (which this server refuses).
  ASSERT_TRUE(client_.Signal(SIGHUP));
  ASSERT_TRUE(WaitLog("Reload of ", 5000)) << Log();
  EXPECT_NE(Log().find("1 account(s) kept, 0 stopped, 0 started."), std::string::npos) << Log();
  WriteFile(creds + "/dyr.cara", "Cred-s3cret-2\n");
  ASSERT_TRUE(client_.Signal(SIGHUP));
  ASSERT_TRUE(WaitLog("Reload of ", 5000, 2)) << Log();
  EXPECT_NE(Log().find("0 account(s) kept, 1 stopped, 1 started."), std::string::npos) << Log();
  ASSERT_TRUE(WaitLog(T_LOGIN_FAILED, 5000)) << Log();
  EXPECT_NE(Log().find("bad user name or password"), std::string::npos) << Log();

  // --status reads the status file: neither holds the password.
  const int status = RunWith({"--status", "-w", dir_.path()}, {}, out);
  EXPECT_TRUE(status == 0 || status == 1) << status << out;
  EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;
  EXPECT_EQ(Stop(), 0);
  ExpectNowhere("Cred-s3cret");
}

TEST_F(SecretsTest, PasswordFileOthersMayReadIsRefusedUntilItIsPrivate) {
  ASSERT_TRUE(StartServer({"--account", "finn:File-s3cret"}));
  const std::string file = dir_ / "secrets/finn.pw";
  ASSERT_EQ(mkdir((dir_ / "secrets").c_str(), 0700), 0);
  WriteFile(file, "File-s3cret\n");
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  WriteIniWith("finn", "PasswordFile=" + file, "f.example.net");
  const std::string refused = "[DYR_CLIENT] section 1 (UserName=finn): PasswordFile " + file +
                              " is readable by group or others (mode 0644; chmod 600 it): the "
                              "account is not started.\n";

  std::string out;
  EXPECT_EQ(RunWith({"-t", "-w", dir_.path()}, {}, out), 255) << out;
  EXPECT_NE(out.find("  password: from file " + file + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("WARN: " + refused), std::string::npos) << out;
  EXPECT_NE(out.find("0 accounts would run.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("dyrclient: 1 account of " + dir_.path() +
                     "/dyrclient.ini would not start (see the WARN lines).\n"),
            std::string::npos)
      << out;

  StartClient();
  ASSERT_TRUE(WaitLog(T_STARTED, 5000)) << Log();
  EXPECT_NE(Log().find(":WARN:" + refused), std::string::npos) << Log();
  // The daemon runs on without the account; the reload after the chmod
  // reads the file again and starts it.
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  EXPECT_EQ(RunWith({"-t", "-w", dir_.path()}, {}, out), 0) << out;
  ASSERT_TRUE(client_.Signal(SIGHUP));
  ASSERT_TRUE(WaitLog("Reload of ", 5000)) << Log();
  EXPECT_NE(Log().find("0 account(s) kept, 0 stopped, 1 started."), std::string::npos) << Log();
  ASSERT_TRUE(WaitLog(T_LOGIN_OK, 5000)) << Log();
  EXPECT_EQ(Counter(State(), "logins"), 1) << State();
  EXPECT_EQ(Stop(), 0);
  ExpectNowhere("File-s3cret");
}

}  // namespace
}  // namespace e2e
