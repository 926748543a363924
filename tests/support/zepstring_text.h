// zepstring_text.h — a ZEPString's bytes as a std::string, so that tests
// compare them (embedded NUL bytes included) with gtest's string matchers.
// Owns nothing and takes no lock; any thread may call it on a string no other
// thread changes meanwhile.
#ifndef ZEP_TESTS_SUPPORT_ZEPSTRING_TEXT_H
#define ZEP_TESTS_SUPPORT_ZEPSTRING_TEXT_H

#include <string>

#include "base/zepstring.h"
#include "base/zeptext.h"

namespace zeptest {

inline std::string Str(const ZEPString& s) { return ZEPStdString(s); }

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_ZEPSTRING_TEXT_H
