#include "cmd/cmdtransfer.h"

#include <cstring>
#include <string>

namespace {

int AddProp(ZEPString& msg, const char* key, const char* value, size_t vlen) {
  if (key == nullptr || value == nullptr) return -1;
  const size_t klen = std::strlen(key);
  if (std::memchr(key, '=', klen) != nullptr ||
      std::memchr(key, CmdTransfer::kPropSep, klen) != nullptr ||
      std::memchr(value, CmdTransfer::kPropSep, vlen) != nullptr ||
      std::memchr(value, '\0', vlen) != nullptr) {
    return -1;
  }
  const char sep = CmdTransfer::kPropSep;
  if (msg.IsEmpty()) msg.Assign(&sep, 1);
  msg.Append(key, static_cast<uint32_t>(klen));
  msg.Append("=", 1);
  msg.Append(value, static_cast<uint32_t>(vlen));
  msg.Append(&sep, 1);
  return 0;
}

}  // namespace

int CmdTransfer::AddCmdProp(ZEPString& msg, const char* key, const char* value) {
  return AddProp(msg, key, value, value ? std::strlen(value) : 0);
}

int CmdTransfer::AddCmdProp(ZEPString& msg, const char* key, const ZEPString& value) {
  return AddProp(msg, key, value.GetText(), value.GetLength());
}

ZEPString CmdTransfer::GetCmdProp(const char* msg, uint32_t len, const char* key) {
  if (key == nullptr || msg == nullptr || len == 0) return ZEPString();
  // A message is text: bytes after a zero byte are not part of it.
  const void* zero = std::memchr(msg, '\0', len);
  const size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - msg) : len;
  // The pattern carries the leading separator and the "=", so "K" never
  // matches inside "OK" and "Domain" never matches "Domain0".
  std::string pattern(1, kPropSep);
  pattern += key;
  pattern += '=';
  const std::string text(msg, end);
  const size_t at = text.find(pattern);
  if (at == std::string::npos) return ZEPString();
  const size_t start = at + pattern.size();
  size_t stop = text.find(kPropSep, start);
  if (stop == std::string::npos) stop = end;  // last property without its final separator
  return ZEPString::FromBytes(text.data() + start, static_cast<uint32_t>(stop - start));
}

ZEPString CmdTransfer::GetCmdProp(const ZEPString& msg, const char* key) {
  return GetCmdProp(msg.GetText(), msg.GetLength(), key);
}
