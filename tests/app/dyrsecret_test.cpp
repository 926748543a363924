// Passwords kept outside dyrclient.ini: a systemd credential or a private
// file of their own, one line of plain text, refused with a line that names
// what is wrong and never the password.
#include "app/dyrsecret.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/global.h"
#include "support/zepstring_text.h"

namespace {

using zeptest::Str;

class DyrSecret : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDes(g_CredentialKey);
    char tmpl[] = "/tmp/dyrsecret_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string Put(const std::string& name, const std::string& data, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    { std::ofstream(path, std::ios::binary) << data; }
    chmod(path.c_str(), mode);
    return path;
  }
  std::string dir_;
};

struct Key {
  const char* name;
  std::string value;
};

DYRSecret_tag Resolve(const std::vector<Key>& items, const char* credDir) {
  DYRSecretKeys_tag keys;
  for (const Key& k : items)
    EXPECT_TRUE(DyrSecretItem(keys, ZEPString(k.name), ZEPString(k.value.c_str())));
  return DyrResolveSecret(keys, credDir);
}

TEST_F(DyrSecret, CredentialsAndFilesGiveTheirOneLineOrSayWhyNot) {
  const std::string creds = dir_ + "/creds";
  ASSERT_EQ(mkdir(creds.c_str(), 0700), 0);
  Put("creds/plain", "s3cret", 0400);
  Put("creds/lf", "s3cret\n", 0400);
  Put("creds/crlf", "with space \r\n", 0400);
  Put("creds/twolines", "one\ntwo\n", 0400);
  Put("creds/empty", "\n", 0400);
  Put("creds/zero", std::string("ab\0cd", 5), 0400);
  Put("creds/big", std::string(kDyrSecretMaxBytes + 1, 'x'), 0400);
  Put("creds/fits", std::string(kDyrSecretMaxBytes, 'y'), 0400);
  const std::string f600 = Put("f600", "filepw\n", 0600);
  const std::string f400 = Put("f400", "filepw", 0400);
  const std::string f644 = Put("f644", "filepw\n", 0644);
  const std::string f640 = Put("f640", "filepw\n", 0640);
  const std::string f604 = Put("f604", "filepw\n", 0604);
  const std::string f620 = Put("f620", "filepw\n", 0620);  // others may write, not read
  const std::string fbig = Put("fbig", std::string(kDyrSecretMaxBytes + 1, 'x'), 0600);
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(f600.c_str(), link.c_str()), 0);
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string sub = dir_ + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((creds + "/fifo").c_str(), 0600), 0);

  ZEPString scrambled;
  EnAString(ZEPString("inipw"), scrambled);
  const std::string max(kDyrSecretMaxBytes, 'y');
  const std::string credsSlash = creds + "/";
  struct Case {
    const char* what;
    std::vector<Key> keys;
    const char* credDir;   // nullptr: CREDENTIALS_DIRECTORY unset
    std::string password;  // expected when `refused` is empty
    std::string refused;   // a part of the reason
    std::string from;
  } cases[] = {
      {"credential read",
       {{"PasswordCredential", "plain"}},
       creds.c_str(),
       "s3cret",
       "",
       "credential plain"},
      {"trailing LF dropped",
       {{"PasswordCredential", " lf "}},
       creds.c_str(),
       "s3cret",
       "",
       "credential lf"},
      {"trailing CR LF dropped, spaces kept",
       {{"PasswordCredential", "crlf"}},
       creds.c_str(),
       "with space ",
       "",
       "credential crlf"},
      {"directory with a trailing slash",
       {{"PasswordCredential", "plain"}},
       credsSlash.c_str(),
       "s3cret",
       "",
       "credential plain"},
      {"exactly the largest size",
       {{"PasswordCredential", "fits"}},
       creds.c_str(),
       max,
       "",
       "credential fits"},
      {"CREDENTIALS_DIRECTORY unset",
       {{"PasswordCredential", "plain"}},
       nullptr,
       "",
       "PasswordCredential=plain: CREDENTIALS_DIRECTORY is not set",
       "credential plain"},
      {"CREDENTIALS_DIRECTORY empty",
       {{"PasswordCredential", "plain"}},
       "",
       "",
       "CREDENTIALS_DIRECTORY is not set",
       "credential plain"},
      {"name with a slash",
       {{"PasswordCredential", "../f600"}},
       creds.c_str(),
       "",
       "PasswordCredential \"../f600\" is not a credential name",
       "credential ../f600"},
      {"name ..",
       {{"PasswordCredential", ".."}},
       creds.c_str(),
       "",
       "is not a credential name",
       "credential .."},
      {"name .",
       {{"PasswordCredential", "."}},
       creds.c_str(),
       "",
       "is not a credential name",
       "credential ."},
      {"missing credential named with its path",
       {{"PasswordCredential", "nope"}},
       creds.c_str(),
       "",
       "credential nope (" + creds + "/nope): No such file or directory",
       "credential nope"},
      {"credential of two lines",
       {{"PasswordCredential", "twolines"}},
       creds.c_str(),
       "",
       "is not one line",
       "credential twolines"},
      {"credential with a zero byte",
       {{"PasswordCredential", "zero"}},
       creds.c_str(),
       "",
       "is not one line",
       "credential zero"},
      {"credential of a line end only",
       {{"PasswordCredential", "empty"}},
       creds.c_str(),
       "",
       "is empty",
       "credential empty"},
      {"oversized credential",
       {{"PasswordCredential", "big"}},
       creds.c_str(),
       "",
       "is larger than 4096 bytes",
       "credential big"},
      {"credential FIFO",
       {{"PasswordCredential", "fifo"}},
       creds.c_str(),
       "",
       "is not a regular file",
       "credential fifo"},
      {"file 0600 accepted", {{"PasswordFile", f600}}, nullptr, "filepw", "", "file " + f600},
      {"file 0400 accepted", {{"PasswordFile", f400}}, nullptr, "filepw", "", "file " + f400},
      {"others may write but not read",
       {{"PasswordFile", f620}},
       nullptr,
       "filepw",
       "",
       "file " + f620},
      {"link to a private file followed",
       {{"PasswordFile", link}},
       nullptr,
       "filepw",
       "",
       "file " + link},
      {"file 0644 refused",
       {{"PasswordFile", f644}},
       nullptr,
       "",
       "PasswordFile " + f644 + " is readable by group or others (mode 0644",
       "file " + f644},
      {"file 0640 refused", {{"PasswordFile", f640}}, nullptr, "", "(mode 0640", "file " + f640},
      {"file 0604 refused", {{"PasswordFile", f604}}, nullptr, "", "(mode 0604", "file " + f604},
      {"missing file named",
       {{"PasswordFile", dir_ + "/gone"}},
       nullptr,
       "",
       "PasswordFile " + dir_ + "/gone: No such file or directory",
       "file " + dir_ + "/gone"},
      {"FIFO refused",
       {{"PasswordFile", fifo}},
       nullptr,
       "",
       fifo + " is not a regular file",
       "file " + fifo},
      {"directory refused",
       {{"PasswordFile", sub}},
       nullptr,
       "",
       sub + " is not a regular file",
       "file " + sub},
      {"oversized file refused",
       {{"PasswordFile", fbig}},
       nullptr,
       "",
       "is larger than 4096",
       "file " + fbig},
      {"relative path refused",
       {{"PasswordFile", "f600"}},
       nullptr,
       "",
       "PasswordFile \"f600\" is not an absolute path",
       "file f600"},
      {"Password= as before", {{"Password", Str(scrambled)}}, nullptr, "inipw", "", ""},
      {"an empty key is not written",
       {{"PasswordFile", ""}, {"Password", Str(scrambled)}},
       nullptr,
       "inipw",
       "",
       ""},
      {"a later key replaces an earlier",
       {{"PasswordFile", f644}, {"PasswordFile", f600}},
       nullptr,
       "filepw",
       "",
       "file " + f600},
      {"two keys refused",
       {{"Password", Str(scrambled)}, {"PasswordFile", f600}},
       nullptr,
       "",
       "more than one of Password=, PasswordCredential=, PasswordFile=",
       ""},
      {"credential and file refused",
       {{"PasswordCredential", "plain"}, {"PasswordFile", f600}},
       creds.c_str(),
       "",
       "more than one of",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto start = std::chrono::steady_clock::now();
    DYRSecret_tag s = Resolve(c.keys, c.credDir);
    // A FIFO without a writer must not hold the reader.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(s.m_bGiven);
    EXPECT_EQ(Str(s.m_strFrom), c.from);
    if (c.refused.empty()) {
      EXPECT_EQ(Str(s.m_strRefused), "");
      EXPECT_EQ(Str(s.m_strPassword), c.password);
    } else {
      EXPECT_NE(Str(s.m_strRefused).find(c.refused), std::string::npos) << Str(s.m_strRefused);
      EXPECT_TRUE(s.m_strPassword.IsNull());
      EXPECT_EQ(Str(s.m_strRefused).find("s3cret"), std::string::npos);
      EXPECT_EQ(Str(s.m_strRefused).find("filepw"), std::string::npos);
    }
  }
}

TEST_F(DyrSecret, NothingWrittenIsNoRefusalAndOtherKeysAreNotTaken) {
  DYRSecretKeys_tag keys;
  EXPECT_FALSE(DyrSecretItem(keys, ZEPString("PasswordFiles"), ZEPString("/x")));
  EXPECT_FALSE(DyrSecretItem(keys, ZEPString("password"), ZEPString("x")));
  DYRSecret_tag s = DyrResolveSecret(keys, nullptr);
  EXPECT_FALSE(s.m_bGiven);
  EXPECT_TRUE(s.m_strRefused.IsEmpty());
  EXPECT_TRUE(s.m_strPassword.IsNull());
}

TEST_F(DyrSecret, ControlCharactersOfANameAreEscapedInTheLine) {
  DYRSecret_tag s = Resolve({{"PasswordCredential", "a/\nWARN:forged"}}, dir_.c_str());
  EXPECT_EQ(Str(s.m_strRefused).find('\n'), std::string::npos) << Str(s.m_strRefused);
  EXPECT_NE(Str(s.m_strRefused).find("a/\\nWARN:forged"), std::string::npos);
}

}  // namespace
