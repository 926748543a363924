// The arithmetic of the start-up line that compares the accounts' needs with
// the limits in force, and the limits as this process finds them.
#include "app/dyrlimits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/zeplog.h"

namespace {

struct FitCase {
  long long limit, inUse, perAccount, fit;
};

}  // namespace

TEST(DyrLimits, AccountsThatFitOneLimit) {
  const FitCase cases[] = {
      {20000, 16, 4, 4996},  // the raised descriptor limit of a loaded host
      {20000, 20000, 4, 0},  // nothing left
      {100, 200, 4, 0},      // more in use than the limit (other processes)
      {19, 16, 4, 0},        // less than one account left
      {20, 16, 4, 1},        // exactly one
      {-1, 16, 4, -1},       // no limit
      {100, 0, 0, -1},       // nothing per account
  };
  for (const FitCase& c : cases) {
    DYRLimit_tag l{"x", c.limit, c.inUse, c.perAccount};
    EXPECT_EQ(c.fit, DyrAccountsThatFit(l)) << c.limit << " " << c.inUse << " " << c.perAccount;
  }
}

TEST(DyrLimits, TheLineNamesTheTightestLimitAndWarnsOnlyWhenShort) {
  const std::vector<DYRLimit_tag> limits = {
      {"descriptors", 20000, 16, 4},  // 4996 fit
      {"threads", 30000, 12, 3},      // 9996 fit
      {"none", -1, 0, 3},
  };
  ZEPString line;
  EXPECT_EQ(LOG_INFO, DyrScaleLine(3000, limits, line));
  std::string text = line.GetSafeText();
  EXPECT_NE(std::string::npos, text.find("descriptors")) << text;
  EXPECT_NE(std::string::npos, text.find("4996 account(s) fit")) << text;

  EXPECT_EQ(LOG_WARN, DyrScaleLine(10000, limits, line));
  text = line.GetSafeText();
  EXPECT_NE(std::string::npos, text.find("10000 account(s) need 4 of descriptors")) << text;
  EXPECT_NE(std::string::npos, text.find("so 4996 account(s) fit: the other 5004")) << text;
  EXPECT_NE(std::string::npos, text.find("(short too: threads)")) << text;

  EXPECT_EQ(LOG_WARN, DyrScaleLine(5000, limits, line));
  EXPECT_EQ(std::string::npos, std::string(line.GetSafeText()).find("short too"))
      << line.GetSafeText();

  EXPECT_EQ(-1, DyrScaleLine(5, {{"none", -1, 0, 3}}, line));
  EXPECT_TRUE(line.IsEmpty());
}

TEST(DyrLimits, TheDescriptorLimitInForceIsFoundWithWhatIsOpen) {
  bool found = false;
  for (const DYRLimit_tag& l : DyrLimitsInForce()) {
    EXPECT_GE(l.m_nLimit, 0) << l.m_pszName;
    EXPECT_GE(l.m_nInUse, 0) << l.m_pszName;
    if (std::string(l.m_pszName).find("RLIMIT_NOFILE") == 0) {
      found = true;
      EXPECT_GE(l.m_nInUse, 3) << "standard input, output and error at least";
    }
  }
  EXPECT_TRUE(found);
}
