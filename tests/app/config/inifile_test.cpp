// dyrclient.ini into accounts: one per [DYR_CLIENT] section, handed over
// only when complete.
#include "app/config/inifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "support/zepstring_text.h"

namespace {

using zeptest::Str;

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDes(g_CredentialKey);
    SetAccountHandler(&IniFile::Collect, this);
    char tmpl[] = "/tmp/dyrini_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override {
    SetAccountHandler(nullptr, nullptr);
    unlink(path_.c_str());
  }
  static void Collect(DYRAccount_tag* a, void* self) {
    static_cast<IniFile*>(self)->accounts_.emplace_back(a);
  }
  int Read(const std::string& text) {
    { std::ofstream(path_, std::ios::binary) << text; }
    return ReadDyrIniFile(path_.c_str());
  }
  static std::string Scrambled(const char* plain) {
    ZEPString out;
    EnAString(ZEPString(plain), out);
    return out.GetSafeText();
  }
  std::string path_;
  std::vector<std::unique_ptr<DYRAccount_tag>> accounts_;
};

TEST_F(IniFile, ItemsOfOneSection) {
  ASSERT_EQ(Read("[DYR_CLIENT]\n"
                 "Host = DDNS.Example.NET \n"
                 "MainPort= 9994 \n"
                 "AsstPort=9993\n"
                 "UserName=" +
                 Scrambled("alice") +
                 "\n"
                 "Password= " +
                 Scrambled("s3cret") +
                 " \n"
                 "Domain=a.example.net\n"
                 "Domain=;x\n"
                 "Domain=B.example.net;HTTP://Off ; more\n"
                 "domain=c.example.net\n"
                 "Unknown=1\n"),
            0);
  ASSERT_EQ(accounts_.size(), 1u);
  DYRAccount_tag& a = *accounts_[0];
  EXPECT_EQ(Str(a.m_strHost), "ddns.example.net");
  EXPECT_EQ(Str(a.m_strMainPort), "9994");
  EXPECT_EQ(Str(a.m_strAsstPort), "9993");
  EXPECT_EQ(Str(a.m_strUserName), "alice");
  EXPECT_EQ(Str(a.m_strPassword), "s3cret");
  ASSERT_EQ(a.m_Domains.size(), 2u);
  EXPECT_EQ(Str(a.m_Domains[0].m_strDomain), "a.example.net");
  EXPECT_FALSE(a.m_Domains[0].m_strOffline.IsNull());
  EXPECT_EQ(Str(a.m_Domains[0].m_strOffline), "");
  // No trimming and no case change inside a domain line.
  EXPECT_EQ(Str(a.m_Domains[1].m_strDomain), "B.example.net");
  EXPECT_EQ(Str(a.m_Domains[1].m_strOffline), "HTTP://Off ");
}

TEST_F(IniFile, SectionsAndForeignItems) {
  ASSERT_EQ(Read("Host=before.any.header\n"
                 "[OTHER]\nHost=other.example\n"
                 "[DYR_CLIENT]\nHost=one.example\nHost=one.last\n"
                 "[OTHER]\nHost=ignored.example\nDomain=ignored.example\n"
                 "[dyr_client]\nHost=lower.case.header\n"
                 "[ DYR_CLIENT ]\nHost=two.example\nMainPort=\n"),
            0);
  ASSERT_EQ(accounts_.size(), 2u);
  EXPECT_EQ(Str(accounts_[0]->m_strHost), "one.last");
  EXPECT_TRUE(accounts_[0]->m_Domains.empty());
  EXPECT_EQ(Str(accounts_[1]->m_strHost), "two.example");
  EXPECT_TRUE(accounts_[1]->m_strMainPort.IsNull());
}

TEST_F(IniFile, AccountIsHandedOverWhenTheNextHeaderIsRead) {
  INI_Section(ZEPString("DYR_CLIENT"), ZEPString(""), ZEPString(""), nullptr);
  INI_Item(ZEPString("DYR_CLIENT"), ZEPString("Host"), ZEPString("first"), nullptr);
  EXPECT_TRUE(accounts_.empty());
  INI_Section(ZEPString("DYR_CLIENT"), ZEPString(""), ZEPString(""), nullptr);
  ASSERT_EQ(accounts_.size(), 1u);
  EXPECT_EQ(Str(accounts_[0]->m_strHost), "first");
  INI_Item(ZEPString("DYR_CLIENT"), ZEPString("Host"), ZEPString("second"), nullptr);
  AddLastNode();
  ASSERT_EQ(accounts_.size(), 2u);
  EXPECT_EQ(Str(accounts_[1]->m_strHost), "second");
  AddLastNode();
  EXPECT_EQ(accounts_.size(), 2u);
}

TEST_F(IniFile, UnreadableFileAndOddContent) {
  EXPECT_EQ(ReadDyrIniFile("/nonexistent/dir/dyrclient.ini"), -1);
  EXPECT_TRUE(accounts_.empty());
  // No section at all is not an error.
  EXPECT_EQ(Read(""), 0);
  EXPECT_TRUE(accounts_.empty());
  // CR-LF ends keep the CR, so the header is not one; NUL bytes, a lone
  // backslash at the end and a line over 64 KiB are taken in stride.
  EXPECT_EQ(Read("[DYR_CLIENT]\r\nHost=a\r\n"), 0);
  EXPECT_TRUE(accounts_.empty());
  std::string odd = "[DYR_CLIENT]\nHost=h" + std::string(1, '\0') +
                    "x\nUserName=" + std::string(70000, 'Q') +
                    "\nPassword=!!!\nDomain=" + std::string(70000, 'd') + "\n\\";
  EXPECT_EQ(Read(odd), 0);
  ASSERT_EQ(accounts_.size(), 1u);
}

TEST_F(IniFile, ScrambledValuesEndAtTheirFirstZeroByte) {
  ZEPString withNul = ZEPString::FromBytes("ab\0cd", 5);
  ZEPString s;
  EnAString(withNul, s);
  ASSERT_EQ(Read("[DYR_CLIENT]\nUserName=" + std::string(s.GetText()) + "\n"), 0);
  ASSERT_EQ(accounts_.size(), 1u);
  EXPECT_EQ(Str(accounts_[0]->m_strUserName), "ab");
}

}  // namespace

TEST(CrLfHeader, FoundOnlyAsAWholeHeaderLineEndingInCarriageReturn) {
  const char crlf[] = "[DYR_CLIENT]\r\nHost=a\r\n";
  EXPECT_TRUE(HasCrLfClientHeader(crlf, sizeof(crlf) - 1));
  const char later[] = "[Other]\r\n[DYR_CLIENT]\r\n";
  EXPECT_TRUE(HasCrLfClientHeader(later, sizeof(later) - 1));
  const char lf[] = "[DYR_CLIENT]\nHost=a\r\n";
  EXPECT_FALSE(HasCrLfClientHeader(lf, sizeof(lf) - 1));
  const char inValue[] = "Host=[DYR_CLIENT]\r\n";
  EXPECT_FALSE(HasCrLfClientHeader(inValue, sizeof(inValue) - 1));
  // Cut one byte short of the carriage return: no over-read, not found.
  EXPECT_FALSE(HasCrLfClientHeader(crlf, 12));
  EXPECT_FALSE(HasCrLfClientHeader(nullptr, 0));
}

TEST(AccountChecks, PortNumbers) {
  for (const char* good : {"1", "9994", "65535", "00080"}) EXPECT_TRUE(IsPortNumber(good)) << good;
  for (const char* bad : {"", "0", "00000", "65536", "99999", "123456", "000080", "-1", "+80",
                          " 80", "80 ", "8o", "0x50", "\t80", "80\n"})
    EXPECT_FALSE(IsPortNumber(bad)) << "\"" << bad << "\"";
  EXPECT_FALSE(IsPortNumber(ZEPString::FromBytes("80\0", 3)));
  EXPECT_FALSE(IsPortNumber(ZEPString(static_cast<const char*>(nullptr))));
}

TEST(AccountChecks, WarningsNameEveryFaultOfAStillRunnableAccount) {
  DYRAccount_tag ok;
  ok.m_strHost = "ddns.example.net";
  ok.m_strMainPort = "9994";
  ok.m_strAsstPort = "9993";
  ok.m_Domains.push_back(DYRDomain_tag{"a.example.net", ""});
  EXPECT_TRUE(AccountWarnings(ok).empty());

  DYRAccount_tag bad;  // no host, no ports at all (null texts) and no domain
  bad.m_strAsstPort = "70000";
  std::vector<ZEPString> w = AccountWarnings(bad);
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(Str(w[0]), "no Host: the login cannot succeed");
  EXPECT_EQ(Str(w[1]), "MainPort \"\" is not a port number from 1 to 65535");
  EXPECT_EQ(Str(w[2]), "AsstPort \"70000\" is not a port number from 1 to 65535");
  EXPECT_NE(Str(w[3]).find("no Domain"), std::string::npos);
}

TEST_F(IniFile, SameAccountComparesWhatWasReadNotHowItWasWritten) {
  std::string body = "Host=H\nMainPort=1\nAsstPort=2\nUserName=" + Scrambled("u") +
                     "\nPassword=" + Scrambled("p") + "\nDomain=a;x\nDomain=b\n";
  ASSERT_EQ(Read("[DYR_CLIENT]\n" + body + "[DYR_CLIENT]\n  Host = h \n" + body.substr(7) +
                 "[DYR_CLIENT]\n" + body + "Domain=c\n"),
            0);
  ASSERT_EQ(accounts_.size(), 3u);
  // Case and blanks of the host do not make a different account.
  EXPECT_TRUE(SameAccount(*accounts_[0], *accounts_[1]));
  EXPECT_FALSE(SameAccount(*accounts_[0], *accounts_[2]));
  DYRAccount_tag changed = *accounts_[0];
  for (auto field :
       {&DYRAccount_tag::m_strHost, &DYRAccount_tag::m_strMainPort, &DYRAccount_tag::m_strAsstPort,
        &DYRAccount_tag::m_strUserName, &DYRAccount_tag::m_strPassword}) {
    changed = *accounts_[0];
    changed.*field << "z";
    EXPECT_FALSE(SameAccount(*accounts_[0], changed));
  }
  changed = *accounts_[0];
  changed.m_Domains[0].m_strOffline = "y";
  EXPECT_FALSE(SameAccount(*accounts_[0], changed));
  changed = *accounts_[0];
  std::swap(changed.m_Domains[0], changed.m_Domains[1]);
  EXPECT_FALSE(SameAccount(*accounts_[0], changed)) << "domain order is part of the login";
}

namespace {

// The [CONSOLE] section: its defaults, what keeps it from starting, and that
// it leaves the accounts around it whole.
TEST_F(IniFile, ConsoleSectionBetweenAccounts) {
  ZEPString pw;
  EnAString(ZEPString("adm1n"), pw);
  const std::string text =
      "[DYR_CLIENT]\nHost=a.example.net\nDomain=a.example.net\n"
      "[CONSOLE]\nPort= 2323 \nPassword=" +
      Str(pw) +
      "\nDomain=stray.example.net\n"
      "[DYR_CLIENT]\nHost=b.example.net\nDomain=b.example.net\n";
  ASSERT_EQ(0, Read(text));
  ASSERT_EQ(2u, accounts_.size());
  ASSERT_EQ(1u, accounts_[0]->m_Domains.size());
  EXPECT_EQ("a.example.net", Str(accounts_[0]->m_Domains[0].m_strDomain));
  EXPECT_EQ("b.example.net", Str(accounts_[1]->m_strHost));

  DYRConsoleConf_tag conf;
  ASSERT_EQ(0, ReadDyrConsole(path_.c_str(), conf));
  EXPECT_TRUE(conf.m_bPresent);
  EXPECT_EQ("127.0.0.1", Str(conf.m_strHost));
  EXPECT_EQ("2323", Str(conf.m_strPort));
  EXPECT_EQ("adm1n", Str(conf.m_strPassword));
  EXPECT_TRUE(ConsoleProblem(conf).IsEmpty());
  DYRConsoleConf_tag same = conf;
  EXPECT_TRUE(SameConsole(conf, same));
  same.m_strPassword = "adm1N";
  EXPECT_FALSE(SameConsole(conf, same));
}

TEST_F(IniFile, ConsoleThatCannotStartSaysWhy) {
  struct Case {
    std::string section;
    std::string why;  // "" : it starts
  } cases[] = {
      {"", ""},  // no section: nothing to start, nothing to say
      {"[CONSOLE]\nPort=2323\n", "has no Password="},
      {"[CONSOLE]\nPort=2323\nPassword=\n", "has no Password="},
      {"[CONSOLE]\nPassword=abc\n", "has no Port="},
      {"[CONSOLE]\nPort=70000\nPassword=abc\n", "is not a port number"},
      {"[CONSOLE]\nPort=23x\nPassword=abc\n", "is not a port number"},
      {"[CONSOLE]\nPort=0\nHost=192.0.2.1\nPassword=" + Str([] {
         ZEPString s;
         EnAString(ZEPString("x"), s);
         return s;
       }()) +
           "\n",
       ""},
      {"[CONSOLE]\nPort=2323\nPasswordFile=" + path_ + ".open\n",
       "[CONSOLE] PasswordFile " + path_ + ".open is readable by group or others (mode 0644"},
      {"[CONSOLE]\nPort=2323\nPasswordFile=" + path_ + ".pw\nPassword=abc\n",
       "[CONSOLE] more than one of Password=, PasswordCredential=, PasswordFile="},
      {"[CONSOLE]\nPort=2323\nPasswordFile=" + path_ + ".pw\nPassword=\n", ""},
  };
  const std::string pw = path_ + ".pw", open = path_ + ".open";
  { std::ofstream(pw) << "console-pw\n"; }
  { std::ofstream(open) << "console-pw\n"; }
  ASSERT_EQ(0, chmod(pw.c_str(), 0600));
  ASSERT_EQ(0, chmod(open.c_str(), 0644));
  for (const Case& c : cases) {
    { std::ofstream(path_, std::ios::binary) << c.section; }
    DYRConsoleConf_tag conf;
    ASSERT_EQ(0, ReadDyrConsole(path_.c_str(), conf)) << c.section;
    EXPECT_EQ(!c.section.empty(), conf.m_bPresent) << c.section;
    const std::string why = Str(ConsoleProblem(conf));
    if (c.why.empty()) {
      EXPECT_EQ("", why) << c.section;
    } else {
      EXPECT_NE(std::string::npos, why.find(c.why)) << c.section << " -> " << why;
    }
  }
  DYRConsoleConf_tag conf;
  EXPECT_EQ(-1, ReadDyrConsole("/nonexistent/dyrclient.ini", conf));
  // The last case read the password from its file.
  ASSERT_EQ(0, ReadDyrConsole(path_.c_str(), conf));
  EXPECT_EQ("console-pw", Str(conf.m_strPassword));
  EXPECT_EQ("file " + pw, Str(conf.m_strPasswordFrom));
  DYRConsoleConf_tag before = conf;
  { std::ofstream(pw) << "console-pw2\n"; }
  ASSERT_EQ(0, ReadDyrConsole(path_.c_str(), conf));
  EXPECT_FALSE(SameConsole(before, conf)) << "a changed password file restarts the console";
  unlink(pw.c_str());
  unlink(open.c_str());
}

// Sets an environment variable for one test (nullptr: unsets it), and puts
// back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

// What a reload compares: the password as read from its credential or file,
// so that a changed file restarts the account and an unchanged one keeps it.
TEST_F(IniFile, PasswordsKeptInFilesAreReadAtEveryLoadAndComparedByContent) {
  const std::string creds = path_ + ".creds";
  ASSERT_EQ(0, mkdir(creds.c_str(), 0700));
  ScopedEnv env("CREDENTIALS_DIRECTORY", creds.c_str());
  const std::string cred = creds + "/dyr.alice";
  const std::string file = path_ + ".pw";
  auto put = [](const std::string& path, const char* text, mode_t mode) {
    { std::ofstream(path) << text; }
    chmod(path.c_str(), mode);
  };
  put(cred, "cred-pw\n", 0400);
  put(file, "file-pw\n", 0600);
  const std::string text = "[DYR_CLIENT]\nHost=h\nUserName=" + Scrambled("alice") +
                           "\nPasswordCredential=dyr.alice\nDomain=a\n"
                           "[DYR_CLIENT]\nHost=h\nUserName=" +
                           Scrambled("bob") + "\nPasswordFile=" + file +
                           "\nDomain=b\n"
                           "[DYR_CLIENT]\nHost=h\nUserName=" +
                           Scrambled("carl") + "\nPassword=" + Scrambled("ini-pw") +
                           "\nPasswordFile=" + file + "\nDomain=c\n";
  ASSERT_EQ(0, Read(text));
  ASSERT_EQ(3u, accounts_.size());
  EXPECT_EQ("cred-pw", Str(accounts_[0]->m_strPassword));
  EXPECT_EQ("credential dyr.alice", Str(accounts_[0]->m_strPasswordFrom));
  EXPECT_EQ("", Str(accounts_[0]->m_strRefused));
  EXPECT_EQ("file-pw", Str(accounts_[1]->m_strPassword));
  EXPECT_EQ("", Str(accounts_[1]->m_strRefused));
  EXPECT_NE(std::string::npos, Str(accounts_[2]->m_strRefused).find("more than one of"));
  EXPECT_TRUE(accounts_[2]->m_strPassword.IsNull());

  struct Step {
    const char* what;
    const char* cred;  // new contents
    const char* file;
    mode_t fileMode;
    bool aliceSame, bobSame;
  } steps[] = {
      {"rewritten alike", "cred-pw\n", "file-pw", 0600, true, true},
      {"credential changed", "cred-pw2\n", "file-pw", 0600, false, true},
      {"file changed", "cred-pw\n", "file-pw2\n", 0600, true, false},
      {"file opened to others", "cred-pw\n", "file-pw\n", 0644, true, false},
  };
  std::vector<DYRAccount_tag> first = {*accounts_[0], *accounts_[1]};
  for (const Step& st : steps) {
    SCOPED_TRACE(st.what);
    put(cred, st.cred, 0400);
    put(file, st.file, st.fileMode);
    accounts_.clear();
    ASSERT_EQ(0, Read(text));
    ASSERT_EQ(3u, accounts_.size());
    EXPECT_EQ(st.aliceSame, SameAccount(first[0], *accounts_[0]));
    EXPECT_EQ(st.bobSame, SameAccount(first[1], *accounts_[1]));
  }
  // The refused account of the last step is no running account's twin, even
  // one with no password at all.
  DYRAccount_tag none = *accounts_[1];
  none.m_strPassword = ZEPString();
  none.m_strRefused = "";
  EXPECT_FALSE(accounts_[1]->m_strRefused.IsEmpty());
  EXPECT_FALSE(SameAccount(none, *accounts_[1]));
  unlink(cred.c_str());
  rmdir(creds.c_str());
  unlink(file.c_str());
}

// Charset: UTF-8 unless GB2312; an unknown value warns once and keeps the
// default; a changed one is a changed console.
TEST_F(IniFile, ConsoleCharsetDefaultsToUtf8AndWarnsOfAnUnknownOne) {
  struct Case {
    std::string lines;
    ZEPCharset charset;
    std::string warning;  // "" : none
  } cases[] = {
      {"", kZEPCharsetUtf8, ""},
      {"Charset=\n", kZEPCharsetUtf8, ""},
      {"Charset= GB2312 \n", kZEPCharsetGb2312, ""},
      {"Charset=gb2312\n", kZEPCharsetGb2312, ""},
      {"Charset=utf-8\n", kZEPCharsetUtf8, ""},
      {"Charset=UTF8\n", kZEPCharsetUtf8, ""},
      {"Charset=GBK\n", kZEPCharsetUtf8, "[CONSOLE] Charset \"GBK\" is neither UTF-8 nor GB2312"},
      {"Charset=GB2312\nCharset=latin1\n", kZEPCharsetUtf8, "\"latin1\""},
      {"Charset=latin1\nCharset=GB2312\n", kZEPCharsetGb2312, ""},  // later keys win
  };
  for (const Case& c : cases) {
    { std::ofstream(path_, std::ios::binary) << "[CONSOLE]\nPort=2323\n" << c.lines; }
    DYRConsoleConf_tag conf;
    ASSERT_EQ(0, ReadDyrConsole(path_.c_str(), conf)) << c.lines;
    EXPECT_EQ(c.charset, conf.m_eCharset) << c.lines;
    const std::vector<ZEPString> warnings = ConsoleWarnings(conf);
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty()) << c.lines;
    } else {
      ASSERT_EQ(1u, warnings.size()) << c.lines;
      EXPECT_NE(std::string::npos, Str(warnings[0]).find(c.warning)) << Str(warnings[0]);
    }
  }
  DYRConsoleConf_tag a, b;
  b.m_eCharset = kZEPCharsetGb2312;
  EXPECT_FALSE(SameConsole(a, b));
  EXPECT_TRUE(ConsoleWarnings(DYRConsoleConf_tag()).empty());
}

// The [HOOK] section: read as written, and no account comes of it or is
// disturbed by it.
TEST_F(IniFile, HookSectionBetweenAccounts) {
  const std::string text =
      "[DYR_CLIENT]\nHost=a.example.net\nDomain=a.example.net\n"
      "[HOOK]\nCommand= /usr/local/bin/tell-monitor \nTimeout=5\nDomain=stray.example.net\n"
      "Command=/usr/local/bin/tell-monitor2\n"
      "[DYR_CLIENT]\nHost=b.example.net\nDomain=b.example.net\n";
  ASSERT_EQ(0, Read(text));
  ASSERT_EQ(2u, accounts_.size());
  ASSERT_EQ(1u, accounts_[0]->m_Domains.size());
  EXPECT_EQ("b.example.net", Str(accounts_[1]->m_strHost));
  DYRHookConf_tag conf;
  ASSERT_EQ(0, ReadDyrHook(path_.c_str(), conf));
  EXPECT_TRUE(conf.m_bPresent);
  EXPECT_EQ("/usr/local/bin/tell-monitor2", Str(conf.m_strCommand)) << "the later one wins";
  EXPECT_EQ("5", Str(conf.m_strTimeout));
  { std::ofstream(path_, std::ios::binary) << "[DYR_CLIENT]\nHost=a\n"; }
  ASSERT_EQ(0, ReadDyrHook(path_.c_str(), conf));
  EXPECT_FALSE(conf.m_bPresent);
  EXPECT_EQ(-1, ReadDyrHook("/nonexistent/dyrclient.ini", conf));
}

// The text form reads exactly what the file form reads, including zero
// bytes, and leaves no handler behind.
TEST_F(IniFile, TextAndFileReadTheSameAccounts) {
  const std::string text = std::string("[DYR_CLIENT]\nHost=A.Example\nUserName=") +
                           Scrambled("bob") + "\nDomain=d1;x\n[DYR_CLIENT]\n" +
                           std::string("Host=b\0c\n", 9) +
                           "Domain=d2\n[DYR_CLIENT]\r\n[OTHER]\nHost=elsewhere\n";
  ASSERT_EQ(Read(text), 0);
  ASSERT_EQ(accounts_.size(), 2u);
  std::vector<DYRAccount_tag> fromText;
  ASSERT_EQ(ReadDyrAccountsText(text.data(), text.size(), fromText), 0);
  ASSERT_EQ(fromText.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_TRUE(SameAccount(fromText[i], *accounts_[i])) << i;
  EXPECT_EQ(Str(fromText[0].m_strUserName), "bob");
  EXPECT_EQ(Str(fromText[1].m_strHost), std::string("b\0c", 3));

  std::vector<DYRAccount_tag> none;
  EXPECT_EQ(ReadDyrAccountsText(nullptr, 0, none), 0);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(ReadDyrAccountsText(nullptr, 5, none), -1);
  // No handler is left: a later file read hands its accounts to nobody.
  SetAccountHandler(nullptr, nullptr);
  EXPECT_EQ(Read("[DYR_CLIENT]\nHost=h\n"), 0);
  EXPECT_EQ(accounts_.size(), 2u);
}

}  // namespace
