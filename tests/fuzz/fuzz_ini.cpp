// The INI text walker over any bytes. Properties: names and values carry no
// line break and no outer spaces, an item never comes before the first header
// and always names the header seen last, and the text walked in one piece or
// in two pieces cut at a line boundary gives the same events.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/config/iniprocessor.h"
#include "fuzz_util.h"

namespace {

std::string Str(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

bool Clean(const std::string& s) {
  if (s.find('\n') != std::string::npos) return false;
  return s.empty() || (s.front() != ' ' && s.back() != ' ');
}

class Recorder : public CINIVisitor {
 public:
  void OnSection(const ZEPString& name) override {
    FUZZ_CHECK(!name.IsNull());
    FUZZ_CHECK(Clean(Str(name)));
    m_Last = Str(name);
    m_bSeen = true;
    m_Events.push_back("[" + m_Last);
  }
  void OnItem(const ZEPString& section, const ZEPString& name, const ZEPString& value) override {
    FUZZ_CHECK(m_bSeen);
    FUZZ_CHECK(Str(section) == m_Last);
    FUZZ_CHECK(!name.IsEmpty());
    FUZZ_CHECK(Clean(Str(name)) && Clean(Str(value)));
    FUZZ_CHECK(Str(name).find('=') == std::string::npos);
    m_Events.push_back(Str(name) + "=" + Str(value));
  }
  std::vector<std::string> m_Events;
  std::string m_Last;
  bool m_bSeen = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  const char* p = text.empty() ? nullptr : text.data();
  Recorder whole;
  ZEPString section;
  WalkIniText(p, static_cast<uint32_t>(size), section, whole);
  FUZZ_CHECK(section.IsNull() == !whole.m_bSeen);
  size_t produced = 0;
  for (const std::string& e : whole.m_Events) produced += e.size();
  FUZZ_CHECK(produced <= size + whole.m_Events.size());

  // Cut after a line that surely ends a (joined) line: it has text and its
  // last character is no backslash (after an empty line a joined line may still
  // end in one and go on). The section carries over, so the events must be
  // the same.
  for (size_t i = 0; i < size; ++i) {
    if (text[i] != '\n') continue;
    size_t j = i;
    while (j > 0 && text[j - 1] == ' ') --j;
    if (j == 0 || text[j - 1] == '\n' || text[j - 1] == '\\') continue;
    Recorder split;
    ZEPString carried;
    WalkIniText(p, static_cast<uint32_t>(i + 1), carried, split);
    split.m_Last = Str(carried);
    split.m_bSeen = !carried.IsNull();
    std::vector<char> rest(text.begin() + static_cast<long>(i + 1), text.end());
    // An empty rest is still one (empty) line, as the end of the whole text.
    WalkIniText(rest.empty() ? "" : rest.data(), static_cast<uint32_t>(rest.size()), carried,
                split);
    FUZZ_CHECK(split.m_Events == whole.m_Events);
    break;
  }
  return 0;
}
