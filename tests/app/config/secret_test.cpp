// Passwords kept outside dyrclient.ini: a systemd credential or a private
// file of their own, one line of plain text, refused with a line that names
// what is wrong and never the password.
#include "app/config/secret.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "support/tempdir.h"
#include "support/zepstring_text.h"

namespace {

using zeptest::Str;

// "=PW": read as PW, no refusal; anything else: refused with a line holding
// that text, and no password.
void ExpectOutcome(const DYRSecret_tag& s, const std::string& expect) {
  if (expect[0] == '=') {
    EXPECT_EQ(Str(s.m_strRefused), "");
    EXPECT_EQ(Str(s.m_strPassword), expect.substr(1));
  } else {
    EXPECT_NE(Str(s.m_strRefused).find(expect), std::string::npos) << Str(s.m_strRefused);
    EXPECT_TRUE(s.m_strPassword.IsNull());
  }
}

class DyrSecret : public ::testing::Test {
 protected:
  void SetUp() override { InitDes(g_CredentialKey); }
  std::string Put(const std::string& name, const std::string& data, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    { std::ofstream(path, std::ios::binary) << data; }
    chmod(path.c_str(), mode);
    return path;
  }
  zeptest::TempDir tmp_;
  std::string dir_ = tmp_.path();
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

  const std::string max(kDyrSecretMaxBytes, 'y');
  const std::string credsSlash = creds + "/";
  const char* const C = "PasswordCredential";
  const char* const F = "PasswordFile";
  // `expect`: "=" and the password, or a part of the reason it is refused.
  struct Case {
    const char* key;
    std::string value;
    const char* credDir;  // nullptr: CREDENTIALS_DIRECTORY unset
    std::string expect;
  } cases[] = {
      {C, "plain", creds.c_str(), "=s3cret"},
      {C, " lf ", creds.c_str(), "=s3cret"},  // trailing LF dropped, name trimmed
      {C, "crlf", creds.c_str(), "=with space "},
      {C, "plain", credsSlash.c_str(), "=s3cret"},
      {C, "fits", creds.c_str(), "=" + max},
      {C, "plain", nullptr, "PasswordCredential=plain: CREDENTIALS_DIRECTORY is not set"},
      {C, "plain", "", "CREDENTIALS_DIRECTORY is not set"},
      {C, "../f600", creds.c_str(), "PasswordCredential \"../f600\" is not a credential name"},
      {C, "..", creds.c_str(), "is not a credential name"},
      {C, ".", creds.c_str(), "is not a credential name"},
      {C, "nope", creds.c_str(), "credential nope (" + creds + "/nope): No such file"},
      {C, "twolines", creds.c_str(), "is not one line"},
      {C, "zero", creds.c_str(), "is not one line"},
      {C, "empty", creds.c_str(), "credential empty (" + creds + "/empty) is empty"},
      {C, "big", creds.c_str(), "is larger than 4096 bytes"},
      {C, "fifo", creds.c_str(), "is not a regular file"},
      {F, f600, nullptr, "=filepw"},
      {F, f400, nullptr, "=filepw"},
      {F, f620, nullptr, "=filepw"},  // others may write it, not read it
      {F, link, nullptr, "=filepw"},  // a link to a private file is followed
      {F, f644, nullptr, "PasswordFile " + f644 + " is readable by group or others (mode 0644"},
      {F, f640, nullptr, "(mode 0640"},
      {F, f604, nullptr, "(mode 0604"},
      {F, dir_ + "/gone", nullptr, "PasswordFile " + dir_ + "/gone: No such file or directory"},
      {F, fifo, nullptr, fifo + " is not a regular file"},
      {F, sub, nullptr, sub + " is not a regular file"},
      {F, fbig, nullptr, "is larger than 4096"},
      {F, "f600", nullptr, "PasswordFile \"f600\" is not an absolute path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    const auto start = std::chrono::steady_clock::now();
    DYRSecret_tag s = Resolve({{c.key, c.value}}, c.credDir);
    // A FIFO without a writer must not hold the reader.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(s.m_bGiven);
    std::string name = c.value;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    name.erase(0, name.find_first_not_of(' '));
    EXPECT_EQ(Str(s.m_strFrom), (c.key == C ? "credential " : "file ") + name);
    ExpectOutcome(s, c.expect);
    if (c.expect[0] != '=') {
      EXPECT_EQ(Str(s.m_strRefused).find("s3cret"), std::string::npos);
      EXPECT_EQ(Str(s.m_strRefused).find("filepw"), std::string::npos);
    }
  }
}

// Which of the three keys a section wrote: one is taken, two are refused.
TEST_F(DyrSecret, OneKeyIsTakenAndTwoAreRefused) {
  const std::string f600 = Put("f600", "filepw\n", 0600);
  const std::string f644 = Put("f644", "filepw\n", 0644);
  ZEPString scrambled;
  EnAString(ZEPString("inipw"), scrambled);
  const std::string two = "more than one of Password=, PasswordCredential=, PasswordFile=";
  struct Case {
    std::vector<Key> keys;
    std::string expect;  // as above
  } cases[] = {
      {{{"Password", Str(scrambled)}}, "=inipw"},
      {{{"PasswordFile", ""}, {"Password", Str(scrambled)}}, "=inipw"},  // empty: not written
      {{{"PasswordFile", f644}, {"PasswordFile", f600}}, "=filepw"},     // the later one
      {{{"Password", Str(scrambled)}, {"PasswordFile", f600}}, two},
      {{{"PasswordCredential", "x"}, {"PasswordFile", f600}}, two},
      {{{"Password", "x"}, {"PasswordCredential", "x"}, {"PasswordFile", f600}}, two},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expect);
    DYRSecret_tag s = Resolve(c.keys, dir_.c_str());
    ExpectOutcome(s, c.expect);
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
