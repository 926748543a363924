#include "log/loglevel.h"

const char* ZEPLogTag(int type) {
  static const char* const kTags[] = {"MESG", "INFO", "WARN", "ERRR"};
  return (type >= LOG_MESG && type <= LOG_ERRR) ? kTags[type] : "UNKN";
}
