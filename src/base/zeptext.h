// zeptext.h — a ZEPString's bytes for the code that works in std::string
// (the hook's environment, the console's replies, the status file's JSON).
//
// Owns nothing and takes no lock: any thread may call it on a string that
// no other thread changes meanwhile.
#ifndef ZEP_BASE_ZEPTEXT_H
#define ZEP_BASE_ZEPTEXT_H

#include <string>

#include "base/zepstring.h"

// Every byte of `s` by its length, zero bytes included; "" for null text.
std::string ZEPStdString(const ZEPString& s);

#endif  // ZEP_BASE_ZEPTEXT_H
