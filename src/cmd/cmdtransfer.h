// cmdtransfer.h — CmdTransfer, the command framing node. For now only its
// class-level property-message operations exist; they need no object.
//
// A property message is 0x01 followed by key "=" value 0x01 for every
// property, in the order added; readers take the first occurrence of a key.
// Keys and values travel unescaped, so AddCmdProp refuses what the format
// cannot carry (see below) instead of writing a message that would read back
// differently.
//
// Threads: the static operations touch only their arguments; any thread may
// call them on strings it owns. Locks: none.
#ifndef ZEP_CMD_CMDTRANSFER_H
#define ZEP_CMD_CMDTRANSFER_H

#include <cstdint>

#include "base/zepstring.h"

class CmdTransfer {
 public:
  static const char kPropSep = '\x01';

  // Appends key=value. Nothing is written, and -1 returned, when key or value
  // is null, when the key contains "=" or 0x01, or when the value contains
  // 0x01: such a property would corrupt the message or smuggle in another
  // property (a user name "x\x01OK=Y" must not become a second key). A value
  // is read up to its first zero byte, as every const char* is. Returns 0
  // when the property was added. An empty value is written as key "=".
  static int AddCmdProp(ZEPString& msg, const char* key, const char* value);
  // The same for a ZEPString value: a null string adds nothing (returns -1)
  // and a value holding a zero byte is refused like one holding 0x01.
  static int AddCmdProp(ZEPString& msg, const char* key, const ZEPString& value);

  // Value of the first property named `key`: a null string when the key is
  // null, the message empty, or the property absent; "" for an empty value.
  // The search stops at the first zero byte of the message.
  static ZEPString GetCmdProp(const ZEPString& msg, const char* key);
  // The same over raw bytes, for callers holding a received buffer.
  static ZEPString GetCmdProp(const char* msg, uint32_t len, const char* key);
};

#endif  // ZEP_CMD_CMDTRANSFER_H
