// Property messages. Any bytes read with any key: the value found is the one
// a plain scan finds (the first "\x01key=" before the first zero byte, up to
// the next separator). Properties built with AddCmdProp read back: every key
// that was added gives the value of its first accepted property, and a
// refused property leaves the message as it was.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cmd/cmdtransfer.h"
#include "fuzz_util.h"

namespace {

// The straightforward reading the format describes.
bool ModelProp(const std::string& msg, const std::string& key, std::string& value) {
  const std::string text = msg.substr(0, msg.find('\0'));
  const std::string pattern = "\x01" + key + "=";
  const size_t at = text.find(pattern);
  if (at == std::string::npos) return false;
  const size_t start = at + pattern.size();
  const size_t stop = text.find('\x01', start);
  value = text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
  return true;
}

void CheckRead(const std::string& msg, const std::string& key) {
  std::vector<char> exact = fuzzutil::Exact(msg);
  ZEPString got = CmdTransfer::GetCmdProp(exact.empty() ? nullptr : exact.data(),
                                          static_cast<uint32_t>(exact.size()), key.c_str());
  std::string want;
  if (!ModelProp(msg, key, want)) {
    FUZZ_CHECK(got.IsNull());
    return;
  }
  FUZZ_CHECK(!got.IsNull());
  FUZZ_CHECK(std::string(got.GetText(), got.GetLength()) == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Reader in(data, size);
  const uint8_t mode = in.Byte();
  if (mode & 1) {
    // Any message, keys taken from its own head and its tail.
    const std::string key = in.Piece('\n').substr(0, 64);
    const std::string msg = in.Rest();
    CheckRead(msg, key.substr(0, key.find('\0')));
    CheckRead(msg, "C");
    CheckRead(msg, "");
    return 0;
  }
  // Key/value pairs separated by "\n", key and value by "\t".
  ZEPString msg;
  std::map<std::string, std::string> first;
  int added = 0;
  while (in.Left() > 0 && added < 64) {
    std::string key = in.Piece('\t');
    const std::string value = in.Piece('\n');
    key = key.substr(0, key.find('\0'));  // a C string key ends at its zero
    const ZEPString before(msg);
    const int rc =
        (mode & 2) ? CmdTransfer::AddCmdProp(
                         msg, key.c_str(),
                         ZEPString::FromBytes(value.data(), static_cast<uint32_t>(value.size())))
                   : CmdTransfer::AddCmdProp(msg, key.c_str(), value.c_str());
    const std::string stored = (mode & 2) ? value : value.substr(0, value.find('\0'));
    const bool carriable = key.find_first_of("=\x01") == std::string::npos &&
                           stored.find('\x01') == std::string::npos &&
                           stored.find('\0') == std::string::npos;
    FUZZ_CHECK((rc == 0) == carriable);
    if (rc != 0) {
      FUZZ_CHECK(msg == before);
      continue;
    }
    ++added;
    first.emplace(key, stored);
  }
  const std::string text(msg.GetSafeText(), msg.GetLength());
  for (const auto& kv : first) {
    ZEPString got = CmdTransfer::GetCmdProp(msg, kv.first.c_str());
    FUZZ_CHECK(!got.IsNull());
    FUZZ_CHECK(std::string(got.GetText(), got.GetLength()) == kv.second);
    CheckRead(text, kv.first);
  }
  return 0;
}
