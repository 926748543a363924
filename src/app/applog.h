// applog.h — one log line from the application units, following the
// program's logging convention: the line is built by the caller, then
// written under g_LogMutex (always the innermost lock; never taken while
// g_IDFileMutex is held). Any thread. Null-safe before the log exists.
#ifndef ZEP_APP_APPLOG_H
#define ZEP_APP_APPLOG_H

#include "base/zepstring.h"
#include "log/zeplog.h"

inline void DyrLogLine(const char* file, int line, LOG_TYPE_ level, ZEPString& text) {
  g_LogMutex.Acquire();
  if (zeplog != nullptr) zeplog->Log(file, line, level, text);
  g_LogMutex.Release();
}

// DYR_LOG(LOG_MESG, "text " << value): builds the line with ZEPString's <<.
#define DYR_LOG(level, parts)                           \
  do {                                                  \
    ZEPString dyrLogLine_;                              \
    dyrLogLine_ << parts;                               \
    DyrLogLine(__FILE__, __LINE__, level, dyrLogLine_); \
  } while (0)

#endif  // ZEP_APP_APPLOG_H
