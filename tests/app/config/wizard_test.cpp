// The configuration wizard: the file it writes, its answers' edge cases,
// and how it replaces what is at the file's name.
#include "app/config/wizard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "support/plants.h"
#include "support/tempdir.h"

namespace {

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

}  // namespace
