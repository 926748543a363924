// loglevel.h — the log's four levels and the tag each writes into a line.
//
// Owns nothing: an enum and one plain function. The log (zeplog.h) and the
// forms of its echo (zepecho.h) both stand on it, so the echo needs nothing
// of the log. Any thread; no locks.
#ifndef ZEP_LOG_LOGLEVEL_H
#define ZEP_LOG_LOGLEVEL_H

enum LOG_TYPE_ { LOG_MESG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERRR = 3 };

// Level tag written into a line; "UNKN" for values outside the four levels.
const char* ZEPLogTag(int type);

#endif  // ZEP_LOG_LOGLEVEL_H
