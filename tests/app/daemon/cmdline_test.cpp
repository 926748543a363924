// Command line, paths and the configuration wizard.
#include "app/daemon/cmdline.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/config/workdir.h"
#include "app/proto/scramble.h"
#include "support/plants.h"
#include "support/tempdir.h"

namespace {

int Parse(std::vector<std::string> args) {
  // g_pszUnknownOption points into the arguments, which main's argv keeps
  // for the whole run: keep these until the next parse.
  static std::vector<std::string> kept;
  kept = std::move(args);
  g_bNeedHelp = g_bNeedConfig = g_bNeedVersion = g_bNeedCheck = g_bNeedStatus = false;
  g_UnixWorkingDir[0] = '\0';
  std::vector<char*> argv;
  for (std::string& a : kept) argv.push_back(&a[0]);
  return ParseParam(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, OptionsAreWholeArguments) {
  EXPECT_EQ(Parse({"dyrclient", "junk", "-hx", "-H", "-C", "--c"}), 0);
  EXPECT_FALSE(g_bNeedHelp);
  EXPECT_FALSE(g_bNeedConfig);
  // The first of them is the one reported; a plain word is no option.
  EXPECT_STREQ(g_pszUnknownOption, "-hx");
  Parse({"dyrclient", "-c", "-h"});
  EXPECT_TRUE(g_bNeedHelp);
  EXPECT_TRUE(g_bNeedConfig);
  // The program name is scanned too, and the directory after -w is not an option.
  Parse({"-c", "-w", "-h"});
  EXPECT_TRUE(g_bNeedConfig);
  EXPECT_FALSE(g_bNeedHelp);
  EXPECT_STREQ(g_UnixWorkingDir, "-h/");
  EXPECT_EQ(g_pszUnknownOption, nullptr);
}

TEST(CommandLine, LongFormsVersionAndUnknownOptions) {
  Parse({"dyrclient", "--help"});
  EXPECT_TRUE(g_bNeedHelp);
  EXPECT_EQ(g_pszUnknownOption, nullptr);
  Parse({"dyrclient", "-V"});
  EXPECT_TRUE(g_bNeedVersion);
  Parse({"dyrclient", "-w", "/d", "--version", "-"});
  EXPECT_TRUE(g_bNeedVersion);
  EXPECT_FALSE(g_bNeedCheck);
  EXPECT_STREQ(g_pszUnknownOption, "-");
  for (const char* check : {"-t", "--check-config"}) {
    Parse({"dyrclient", check, "-w", "/d"});
    EXPECT_TRUE(g_bNeedCheck) << check;
    EXPECT_EQ(g_pszUnknownOption, nullptr) << check;
  }
  Parse({"dyrclient", "--status", "-w", "/d"});
  EXPECT_TRUE(g_bNeedStatus);
  EXPECT_EQ(g_pszUnknownOption, nullptr);
  EXPECT_STREQ(g_UnixWorkingDir, "/d/");
  Parse({"dyrclient", "-status"});
  EXPECT_FALSE(g_bNeedStatus);
  // A directory that looks like an option is still the directory.
  Parse({"dyrclient", "-w", "--x", "-c"});
  EXPECT_EQ(g_pszUnknownOption, nullptr);
  EXPECT_STREQ(g_UnixWorkingDir, "--x/");
  // A later parse starts clean.
  Parse({"dyrclient", "-h"});
  EXPECT_EQ(g_pszUnknownOption, nullptr);
  EXPECT_STREQ(g_szVersionLine, "dyrclient 2.01a build 120\n");
}

TEST(CommandLine, WorkDirectoryAndPaths) {
  Parse({"dyrclient", "-w", "/var/dyr"});
  ASSERT_EQ(ComposePaths(), 0);
  EXPECT_STREQ(szIniFilename, "/var/dyr/dyrclient.ini");
  EXPECT_STREQ(szLogFilename, "/var/dyr/dyrclient.log");
  EXPECT_STREQ(szClnIDFilename, "/var/dyr/clientid.txt");
  Parse({"dyrclient", "-w", "/var/dyr/"});
  ComposePaths();
  EXPECT_STREQ(szIniFilename, "/var/dyr/dyrclient.ini");
  Parse({"dyrclient", "-w", "/a", "-w", "/b"});
  EXPECT_STREQ(g_UnixWorkingDir, "/b/");
  Parse({"dyrclient", "-w", ""});
  EXPECT_STREQ(g_UnixWorkingDir, "/");
  // A lone -w at the end leaves the current directory in use.
  Parse({"dyrclient", "-w"});
  ComposePaths();
  EXPECT_STREQ(szIniFilename, "dyrclient.ini");
}

TEST(CommandLine, TooLongWorkDirectoryIsRefusedNotCut) {
  // 241 characters, "/" and "dyrclient.log" fill the 255 usable bytes.
  std::string fits(241, 'd');
  EXPECT_EQ(Parse({"dyrclient", "-w", fits}), 0);
  EXPECT_EQ(ComposePaths(), 0);
  EXPECT_EQ(std::string(szLogFilename).size(), 255u);

  std::string longer(242, 'd');
  EXPECT_EQ(Parse({"dyrclient", "-w", longer}), 0);
  EXPECT_EQ(ComposePaths(), -1);
  EXPECT_STREQ(szIniFilename, "");

  std::string huge(4000, 'd');
  EXPECT_EQ(Parse({"dyrclient", "-w", huge}), -1);
  EXPECT_STREQ(g_UnixWorkingDir, "");
  // A later, valid -w replaces the refused one.
  EXPECT_EQ(Parse({"dyrclient", "-w", huge, "-w", "/ok"}), 0);
  EXPECT_STREQ(g_UnixWorkingDir, "/ok/");
}

// The usage text is written for people; what can go wrong is that it names
// an option the parser does not take (or takes as something else), or that
// nothing is printed at all.
TEST(CommandLine, UsageNamesOnlyOptionsTheParserTakes) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  DoHelp(out);
  std::fclose(out);
  const std::string usage(buf, len);
  std::free(buf);
  EXPECT_EQ(0u, usage.rfind("Usage: dyrclient ", 0)) << usage;
  std::istringstream words(usage);
  std::vector<std::string> options;
  for (std::string w; words >> w;) {
    while (!w.empty() && (w.back() == ':' || w.back() == ',')) w.pop_back();
    if (w.size() > 1 && w[0] == '-' &&
        (std::isalpha(static_cast<unsigned char>(w[1])) || w[1] == '-'))
      options.push_back(w);
  }
  EXPECT_GE(options.size(), 6u) << usage;
  for (const std::string& option : options) {
    // "/d" is -w's directory, and a plain word after every other option.
    EXPECT_EQ(0, Parse({"dyrclient", option, "/d"})) << option;
    EXPECT_EQ(nullptr, g_pszUnknownOption) << option << " is named in the usage but refused";
    const bool isDir = std::string(g_UnixWorkingDir) == "/d/";
    EXPECT_TRUE(isDir || g_bNeedHelp || g_bNeedConfig || g_bNeedCheck || g_bNeedStatus)
        << option << " is named in the usage but sets nothing";
  }
}

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override { InitDes(g_CredentialKey); }
  // Runs the wizard on `input`; returns its result, the prompts in `shown`.
  int Run(const std::string& input, std::string& shown, const std::string& path = "") {
    std::string in = input;
    FILE* fin = fmemopen(in.empty() ? nullptr : &in[0], in.size(), "r");
    if (in.empty()) fin = std::fopen("/dev/null", "r");
    char* buf = nullptr;
    size_t len = 0;
    FILE* fout = open_memstream(&buf, &len);
    int rc = DoConfigIO(fin, fout, path.empty() ? path_.c_str() : path.c_str());
    std::fclose(fin);
    std::fclose(fout);
    shown.assign(buf, len);
    std::free(buf);
    return rc;
  }
  std::vector<std::string> Lines() {
    std::ifstream f(path_);
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
  }
  static std::string Plain(const std::string& scrambled) {
    ZEPString out;
    DeAString(ZEPString(scrambled.c_str()), out);
    return out.GetSafeText();
  }
  zeptest::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::string path_ = dir_ + "/dyrclient.ini";
};

TEST_F(Wizard, WritesTheSevenLineFileWithPrivateMode) {
  std::string shown;
  ASSERT_EQ(Run("user\npass\nA.Example.NET\n\nN\n", shown), 0);
  EXPECT_EQ(shown,
            "\nDo configuration now. \nInput User name: Input Password: Input Domain: "
            "Input Offline URL or Offline IP(Enter for none): Has another domain?(Y/N): ");
  std::vector<std::string> l = Lines();
  ASSERT_EQ(l.size(), 7u);
  EXPECT_EQ(l[0], "[DYR_CLIENT]");
  EXPECT_EQ(l[1], "Host=" DYR_DEFAULT_HOST);
  EXPECT_EQ(l[2], "MainPort=9994");
  EXPECT_EQ(l[3], "AsstPort=9993");
  ASSERT_EQ(l[4].substr(0, 9), "UserName=");
  EXPECT_EQ(l[4].size(), 9u + 11u);
  EXPECT_EQ(Plain(l[4].substr(9)), "user");
  ASSERT_EQ(l[5].substr(0, 9), "Password=");
  EXPECT_EQ(l[5].size(), 9u + 11u);
  EXPECT_EQ(Plain(l[5].substr(9)), "pass");
  EXPECT_EQ(l[6], "Domain=a.example.net;");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Wizard, OfflineTargetsAndSeveralDomains) {
  std::string shown;
  ASSERT_EQ(Run("u\np\na.example.net\nHTTP://Backup.Example.net/Down\ny\n"
                "B.example.net\n192.0.2.10\nn\n",
                shown),
            0);
  std::vector<std::string> l = Lines();
  ASSERT_EQ(l.size(), 8u);
  EXPECT_EQ(l[6], "Domain=a.example.net;backup.example.net/down");
  EXPECT_EQ(l[7], "Domain=b.example.net;192.0.2.10");
}

TEST_F(Wizard, EndOfInputEndsTheDomainLoop) {
  std::string shown;
  // Input ends after "y": the next answers are empty, never the previous one.
  ASSERT_EQ(Run("u\np\nd.example.net\n\ny", shown), 0);
  std::vector<std::string> l = Lines();
  ASSERT_EQ(l.size(), 8u);
  EXPECT_EQ(l[6], "Domain=d.example.net;");
  EXPECT_EQ(l[7], "Domain=;");
  // No input at all still terminates and writes empty credentials.
  ASSERT_EQ(Run("", shown), 0);
  l = Lines();
  ASSERT_EQ(l.size(), 7u);
  EXPECT_EQ(l[4], "UserName=");
}

TEST_F(Wizard, LongAnswerIsSplitAcrossQuestions) {
  std::string shown;
  std::string user(254, 'u');
  ASSERT_EQ(Run(user + "PW\nd.example.net\n\nn\n", shown), 0);
  std::vector<std::string> l = Lines();
  ASSERT_GE(l.size(), 7u);
  EXPECT_EQ(Plain(l[4].substr(9)), user);
  EXPECT_EQ(Plain(l[5].substr(9)), "PW");
}

TEST_F(Wizard, ExistingFileBecomesPrivateAndIsReplaced) {
  { std::ofstream(path_) << "[DYR_CLIENT]\nHost=x\n[DYR_CLIENT]\nHost=y\n"; }
  chmod(path_.c_str(), 0644);
  std::string shown;
  ASSERT_EQ(Run("u\np\nd.example.net\n\nn\n", shown), 0);
  std::vector<std::string> l = Lines();
  EXPECT_EQ(l.size(), 7u);
  // The first account's server stays; ports it did not set take the defaults.
  EXPECT_EQ(l[1], "Host=x");
  EXPECT_EQ(l[2], "MainPort=9994");
  EXPECT_EQ(l[3], "AsstPort=9993");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Wizard, RewriteKeepsServerAndPortsOnly) {
  {
    std::ofstream(path_) << "[OTHER]\nHost=o\n[DYR_CLIENT]\nHost = Srv.Example.ORG \nMainPort=1\n"
                            "AsstPort=2\nUserName=old\nDomain=old.example.net\n";
  }
  std::string shown;
  ASSERT_EQ(Run("u\np\nd.example.net\n\nn\n", shown), 0);
  std::vector<std::string> l = Lines();
  ASSERT_EQ(l.size(), 7u);
  EXPECT_EQ(l[1], "Host=srv.example.org");
  EXPECT_EQ(l[2], "MainPort=1");
  EXPECT_EQ(l[3], "AsstPort=2");
  EXPECT_EQ(Plain(l[4].substr(9)), "u");
  EXPECT_EQ(l[6], "Domain=d.example.net;");
  // A file without an account (here CR-LF ends) gives the defaults.
  { std::ofstream(path_) << "[DYR_CLIENT]\r\nHost=x\r\n"; }
  ASSERT_EQ(Run("u\np\nd\n\nn\n", shown), 0);
  EXPECT_EQ(Lines()[1], "Host=" DYR_DEFAULT_HOST);
}

TEST_F(Wizard, SaveFailureIsReported) {
  std::string shown;
  std::string bad = dir_ + "/missing/dyrclient.ini";
  EXPECT_EQ(Run("u\np\nd.example.net\n\nn\n", shown, bad), -1);
  EXPECT_NE(shown.find("Cannot save ini file: " + bad + "\n"), std::string::npos);
}

// The wizard's file: whatever was planted at its name or its temporary name
// is replaced, nothing outside the directory is written; a dangling link
// (a missing file to the wizard) becomes the file itself.
TEST_F(Wizard, PlantedNamesAreReplacedNeverFollowed) {
  const std::string victim = dir_ + "_victim";  // next to the directory
  for (const zeptest::Plant_tag& plant : zeptest::kPlants) {
    zeptest::PlantAt(path_, victim, plant.m_eKind);
    std::string shown;
    int rc = -1;
    EXPECT_TRUE(
        zeptest::ReturnsWithin([&] { rc = Run("u\np\nd.example.net\n\nn\n", shown); }, 5000, path_))
        << plant.m_pszWhat;
    EXPECT_EQ(0, rc) << plant.m_pszWhat;
    zeptest::ExpectReplaced(path_, victim, zeptest::ReadAll(path_), plant.m_pszWhat);
    if (zeptest::IsRegular(path_)) {
      EXPECT_EQ(7u, Lines().size()) << plant.m_pszWhat;
    }
  }
  unlink(victim.c_str());
  unlink(path_.c_str());
  ASSERT_EQ(0, symlink("no/such/dir/x", path_.c_str()));
  std::string shown;
  EXPECT_EQ(0, Run("u\np\nd.example.net\n\nn\n", shown));
  EXPECT_EQ(7u, Lines().size());
}

// A write that cannot finish leaves the old file as it was and no
// temporary file behind, and says so.
TEST_F(Wizard, FailedReplacementKeepsTheOldFile) {
  { std::ofstream(path_) << "[DYR_CLIENT]\nHost=old\n"; }
  errno = 0;
  ASSERT_EQ(0, mkdir((path_ + ".tmp").c_str(), 0700));  // cannot be unlinked
  EXPECT_EQ(-1, SavePrivateFile(path_.c_str(), "new", 3));
  EXPECT_NE(0, errno);
  EXPECT_EQ("[DYR_CLIENT]\nHost=old\n", zeptest::ReadAll(path_));
  rmdir((path_ + ".tmp").c_str());
  // A directory at the name itself: nothing takes its place.
  unlink(path_.c_str());
  ASSERT_EQ(0, mkdir(path_.c_str(), 0700));
  EXPECT_EQ(-1, SavePrivateFile(path_.c_str(), "new", 3));
  struct stat st {};
  EXPECT_NE(0, lstat((path_ + ".tmp").c_str(), &st)) << "the temporary file is left";
  rmdir(path_.c_str());
}

}  // namespace
