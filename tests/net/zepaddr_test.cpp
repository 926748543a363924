// Port texts: digits within 16 bits, a service name, nothing else.
#include "net/zepaddr.h"

#include <gtest/gtest.h>

namespace {

TEST(ZEPAddrTest, PortTexts) {
  const struct {
    const char* text;
    int port;
  } cases[] = {
      {"", 0},          {"0", 0},      {"9994", 9994},
      {"65535", 65535}, {"00080", 80}, {"000080", 80},
      {"65536", -1},    {"70000", -1}, {"99999999999999999999999", -1},
      {"-1", -1},       {"+80", -1},   {" 80", -1},
      {"80 ", -1},      {"8o", -1},    {"no-such-service-name", -1},
      {nullptr, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.port, ZEPParsePort(c.text, true)) << (c.text ? c.text : "(null)");
}

}  // namespace
