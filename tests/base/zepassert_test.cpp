#include "base/zepassert.h"

#include <gtest/gtest.h>

#include <cstddef>

TEST(ZepAssertDeathTest, NamesExpressionUnitAndLine) {
  void* pReturn = nullptr;
  // The message carries the expression as written, the unit without path,
  // extension or topic (this file is zepassert_test.cpp), and a line number.
  EXPECT_DEATH(ZEP_ASSERT(NULL != pReturn),
               "Assertion failed: NULL != pReturn, unit zepassert, line [0-9]+");
}

TEST(ZepAssertTest, TrueExpressionIsEvaluatedOnceAndPasses) {
  int n = 0;
  ZEP_ASSERT(++n == 1);
  EXPECT_EQ(n, 1);
}
