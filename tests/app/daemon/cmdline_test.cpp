// Command line and paths.
#include "app/daemon/cmdline.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
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

}  // namespace
