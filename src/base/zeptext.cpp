#include "base/zeptext.h"

std::string ZEPStdString(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }
