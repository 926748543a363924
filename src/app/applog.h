// applog.h — one log line from the application units, following the
// program's logging convention: the line is built by the caller, then
// written under g_LogMutex (always the innermost lock; never taken while
// g_IDFileMutex is held). Any thread. Null-safe before the log exists.
#ifndef ZEP_APP_APPLOG_H
#define ZEP_APP_APPLOG_H

#include "base/zepstring.h"
#include "log/zeplog.h"

// DYR_LOG(LOG_MESG, "text " << value): the log's own line macro.
#define DYR_LOG(level, parts) ZEP_LOG_LINE(level, parts)

#endif  // ZEP_APP_APPLOG_H
