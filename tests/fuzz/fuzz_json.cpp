// The JSON of the status file. Any bytes, written as a JSON string, come out
// as printable ASCII and read back as exactly those bytes (a server's texts
// reach the file this way). Any bytes read as JSON give a defined answer,
// and a string read from them survives writing and reading again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/zepjson.h"
#include "fuzz_util.h"

namespace {

void CheckRoundTrip(const std::string& bytes) {
  std::string json;
  DyrJsonAppendString(json, bytes);
  for (char c : json) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
  std::vector<char> exact = fuzzutil::Exact(json);
  DYRJsonValue v;
  FUZZ_CHECK(DyrJsonParse(exact.data(), exact.size(), v) == 0);
  FUZZ_CHECK(v.m_eType == DYRJsonValue::kString && v.m_strText == bytes);
}

void Walk(const DYRJsonValue& v, int depth) {
  FUZZ_CHECK(depth <= kDyrJsonMaxDepth + 1);
  if (v.m_eType == DYRJsonValue::kString) CheckRoundTrip(v.m_strText);
  int64_t n = 0;
  if (v.GetInt(n)) FUZZ_CHECK(static_cast<double>(n) == v.m_dNumber);
  for (const DYRJsonValue& item : v.m_Items) Walk(item, depth + 1);
  for (const auto& m : v.m_Members) {
    CheckRoundTrip(m.first);
    FUZZ_CHECK(v.Get(m.first.c_str()) != nullptr || m.first.find('\0') != std::string::npos);
    Walk(m.second, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Reader in(data, size);
  const uint8_t mode = in.Byte();
  const std::string rest = in.Rest();
  if (mode & 1) {
    CheckRoundTrip(rest);
    return 0;
  }
  std::vector<char> exact = fuzzutil::Exact(rest);
  DYRJsonValue v;
  v.m_eType = DYRJsonValue::kObject;
  if (DyrJsonParse(exact.empty() ? nullptr : exact.data(), exact.size(), v) != 0) {
    FUZZ_CHECK(v.m_eType == DYRJsonValue::kNull && v.m_Items.empty() && v.m_Members.empty());
    return 0;
  }
  Walk(v, 0);
  return 0;
}
