// hooksection.h — what the [HOOK] section of dyrclient.ini asks to run,
// checked once for the daemon and for `--check-config` alike, so both say
// the same about a section that runs nothing.
//
// Plain functions over a section already read (inifile.h); any thread. No
// locks.
#ifndef ZEP_APP_CONFIG_HOOKSECTION_H
#define ZEP_APP_CONFIG_HOOKSECTION_H

#include <string>
#include <vector>

#include "app/config/inifile.h"
#include "base/zepstring.h"

// Time-out without Timeout=, and the longest one taken.
static const int kHookDefaultTimeoutSec = 30;
static const int kHookMaxTimeoutSec = 86400;

// The time-out of Timeout=: seconds from 1 to kHookMaxTimeoutSec, the
// default for an empty text, -1 for anything else.
int DyrHookTimeout(const ZEPString& text);

// Why a present [HOOK] section runs nothing (for its one WARN line), or an
// empty text when its Command= is an absolute path to an executable file.
ZEPString DyrHookProblem(const DYRHookConf_tag& conf);

// What a [HOOK] section runs: `command` (empty for nothing) and its
// time-out, with the WARN texts the daemon logs for it (the configuration
// check prints the same).
void DyrHookSettings(const DYRHookConf_tag& conf, std::string& command, int& timeout,
                     std::vector<ZEPString>& warnings);

#endif  // ZEP_APP_CONFIG_HOOKSECTION_H
