// The configuration check as the command prints it: unchanged on a file or
// a pipe, and with the journal's priorities on the stream JOURNAL_STREAM
// names (a reload that fails must say why at warning or err).
#include "app/config/checkconfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/tempdir.h"

namespace {

class CheckConfigCommand : public ::testing::Test {
 protected:
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string StreamOf(FILE* f) {
    struct stat st {};
    if (fstat(fileno(f), &st) != 0) return "";
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
  }
  // Runs the check on `ini` with standard output into out.txt and standard
  // error into err.txt; `journal` names out, err or neither.
  int Run(const std::string& ini, const std::string& journal, std::string& out, std::string& err) {
    const std::string path = dir_ + "/dyrclient.ini";
    { std::ofstream(path, std::ios::binary) << ini; }
    FILE* o = std::fopen((dir_ + "/out.txt").c_str(), "w");
    FILE* e = std::fopen((dir_ + "/err.txt").c_str(), "w");
    if (o == nullptr || e == nullptr) return -2;
    const std::string stream = journal == "out" ? StreamOf(o) : journal == "err" ? StreamOf(e) : "";
    const int rc =
        DyrCheckConfigCommand(path.c_str(), stream.empty() ? nullptr : stream.c_str(), o, e);
    std::fclose(o);
    std::fclose(e);
    out = Read(dir_ + "/out.txt");
    err = Read(dir_ + "/err.txt");
    return rc;
  }
  zeptest::TempDir tmp_;
  std::string dir_ = tmp_.path();
};

// Each line of `plain` with the prefix its kind takes.
std::string Journal(const std::string& plain, const char* rest) {
  std::stringstream in(plain);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    out += (line.rfind("WARN: ", 0) == 0 ? "<4>" : rest) + line + "\n";
  }
  return out;
}

TEST_F(CheckConfigCommand, OnlyTheJournalsStreamGetsPriorities) {
  const std::string good =
      "[DYR_CLIENT]\nHost=h.example.net\nMainPort=0\nDomain=a.example.net\n"
      "[HOOK]\nCommand=relative/hook\n";
  const std::string none = "[OTHER]\nHost=x\n";
  const struct {
    const std::string& ini;
    int rc;
  } files[] = {{good, 0}, {none, -1}};
  for (const auto& f : files) {
    std::string plainOut, plainErr, out, err;
    ASSERT_EQ(Run(f.ini, "", plainOut, plainErr), f.rc);
    ASSERT_FALSE(plainOut.empty());
    EXPECT_EQ(plainOut.find('<'), std::string::npos) << plainOut;
    EXPECT_EQ(plainErr.find('<'), std::string::npos) << plainErr;

    ASSERT_EQ(Run(f.ini, "out", out, err), f.rc);
    EXPECT_EQ(out, Journal(plainOut, "<6>"));
    EXPECT_EQ(err, plainErr) << "standard error is not the journal's";

    ASSERT_EQ(Run(f.ini, "err", out, err), f.rc);
    EXPECT_EQ(out, plainOut);
    EXPECT_EQ(err, Journal(plainErr, "<3>"));
  }
  // What a reader of `journalctl -p warning` is told.
  std::string out, err;
  ASSERT_EQ(Run(good, "out", out, err), 0);
  EXPECT_NE(out.find("<4>WARN: [DYR_CLIENT] section 1 (UserName=): MainPort \"0\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("<4>WARN: [HOOK] Command \"relative/hook\" is not an absolute path"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("<6>1 account would run.\n"), std::string::npos) << out;
  ASSERT_EQ(Run(none, "err", out, err), -1);
  EXPECT_EQ(err.rfind("<3>dyrclient: No [DYR_CLIENT] section in ", 0), 0u) << err;
}

}  // namespace
