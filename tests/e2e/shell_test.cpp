// The dyrclient binary's start-up: usage, -h, the wizard, the paths and a
// configuration that cannot be read.
#include "dyr_fixture.h"

namespace e2e {
namespace {

const char kUsage[] =
    "Usage: dyrclient -h -c -w /home/dyrclient \n-h: help message. \n"
    "-c: do configuration. \n"
    "-t, --check-config: check the work directory's dyrclient.ini, then exit. \n"
    "-w <dir>: set work directory. \n"
    "--status: the running daemon's accounts; exit 0 all logged in, 1 logging in, 255 no "
    "daemon. \n\n";

class ShellTest : public DyrClientTest {
 protected:
  // Runs dyrclient with `args` and `input` on stdin; its exit status, or -1
  // when it was still running after `ms`.
  int RunToEnd(std::vector<std::string> args, const std::string& input = "", int ms = 10000) {
    WriteFile(dir_ / "stdin.txt", input);
    args.insert(args.begin(), BinDir() + "/dyrclient");
    EXPECT_TRUE(client_.Start(args, dir_ / "stdout.txt", dir_ / "stdin.txt"));
    int status = -1;
    return client_.Wait(ms, status) ? status : -1;
  }
  std::string Out() { return ReadFile(dir_ / "stdout.txt"); }
};

TEST_F(ShellTest, HelpPrintsUsageAndCreatesNothing) {
  EXPECT_EQ(RunToEnd({"-h", "-w", dir_.path()}), 255);
  EXPECT_EQ(Out(), kUsage);
  EXPECT_FALSE(FileExists(dir_ / "dyrclient.log"));
  EXPECT_FALSE(FileExists(dir_ / "dyrclient.ini"));
}

TEST_F(ShellTest, WizardWritesTheFileAndTheDaemonReadsItBack) {
  // Server 127.0.0.1 is patched in afterwards; the wizard writes the default host.
  ASSERT_EQ(RunToEnd({"-c", "-w", dir_.path(), "-h"}, "user\npass\nA.Example.NET\n\nN\n"), 255);
  // -h wins over -c: nothing was asked.
  EXPECT_EQ(Out(), kUsage);
  EXPECT_FALSE(FileExists(dir_ / "dyrclient.ini"));

  Process wizard;
  WriteFile(dir_ / "answers.txt", "user\npass\nA.Example.NET\n\nN\n");
  ASSERT_TRUE(wizard.Start({BinDir() + "/dyrclient", "-c", "-w", dir_.path()}, dir_ / "wizard.txt",
                           dir_ / "answers.txt"));
  ASSERT_TRUE(WaitLog(T_STARTED, 5000)) << ReadFile(dir_ / "wizard.txt");
  wizard.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(wizard.Wait(5000, status));
  EXPECT_EQ(status, 0);
  std::string out = ReadFile(dir_ / "wizard.txt");
  EXPECT_EQ(out.compare(0, sizeof kUsage - 1, kUsage), 0);
  EXPECT_NE(out.find("\nDo configuration now. \nInput User name: Input Password: "),
            std::string::npos);

  std::string ini = ReadFile(dir_ / "dyrclient.ini");
  std::vector<std::string> lines;
  std::stringstream ss(ini);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 7u) << ini;
  EXPECT_EQ(Unscramble(lines[4].substr(9)), "user");
  EXPECT_EQ(Unscramble(lines[5].substr(9)), "pass");
  EXPECT_EQ(lines[6], "Domain=a.example.net;");
  struct stat st;
  ASSERT_EQ(stat((dir_ / "dyrclient.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The daemon read the account back (its password never reaches the log).
  EXPECT_NE(Log().find("UserName=user Domains=a.example.net;"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("pass"), std::string::npos);
  EXPECT_NE(Log().find("Ver 2.01a Build 120"), std::string::npos);
}

TEST_F(ShellTest, MissingFileStartsTheWizardAndAFailedSaveEnds) {
  // A dangling link is a missing file. The save replaces a link rather than
  // writing through it; a directory at its temporary name makes it fail.
  ASSERT_EQ(symlink("no/such/dir/x", (dir_ / "dyrclient.ini").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "dyrclient.ini.tmp").c_str(), 0700), 0);
  EXPECT_EQ(RunToEnd({"-w", dir_.path()}, "u\np\nd.example.net\n\nn\n"), 255);
  EXPECT_NE(Out().find("Do configuration now."), std::string::npos);
  EXPECT_NE(Out().find("Cannot save ini file: " + dir_.path() + "/dyrclient.ini\n"),
            std::string::npos);
}

TEST_F(ShellTest, UnreadableConfigurationEndsWithStatus255) {
  // A directory where the file should be: it "exists" but cannot be read.
  ASSERT_EQ(mkdir((dir_ / "dyrclient.ini").c_str(), 0700), 0);
  EXPECT_EQ(RunToEnd({"-w", dir_.path()}), 255);
  EXPECT_NE(Log().find(":MESG:\xb4\xed\xce\xf3: Cannot process ini file. Quit!\n"),
            std::string::npos)
      << Log();
}

TEST_F(ShellTest, TooLongWorkDirectoryIsRefused) {
  std::string longDir = "/tmp/" + std::string(300, 'x');
  EXPECT_EQ(RunToEnd({"-w", longDir}), 255);
  EXPECT_NE(Out().find("Work directory too long"), std::string::npos);
}

TEST_F(ShellTest, NoClientSectionStillRunsAndStops) {
  WriteFile(dir_ / "dyrclient.ini", "[OTHER]\nHost=x\n");
  StartClient();
  ASSERT_TRUE(WaitLog(T_STARTED, 5000)) << Log();
  EXPECT_NE(Log().find(":WARN:No [DYR_CLIENT] section in "), std::string::npos) << Log();
  EXPECT_EQ(Stop(), 0);
  EXPECT_NE(Log().find(T_STOPPED), std::string::npos);
}

}  // namespace
}  // namespace e2e
