// Command line and paths.
#include "app/daemon/cmdline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

TEST(CommandLine, UsageText) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  DoHelp(out);
  std::fclose(out);
  EXPECT_EQ(std::string(buf, len),
            "Usage: dyrclient -h -c -w /home/dyrclient \n-h: help message. \n"
            "-c: do configuration. \n"
            "-t, --check-config: check the work directory's dyrclient.ini, then exit. \n"
            "-w <dir>: set work directory. \n"
            "--status: the running daemon's accounts; exit 0 all logged in, 1 logging in, 255 "
            "no daemon. \n\n");
  std::free(buf);
}

}  // namespace
