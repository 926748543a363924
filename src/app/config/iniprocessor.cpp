#include "app/config/iniprocessor.h"

#include <cstring>
#include <string>

namespace {

// Spaces only: a tab or a carriage return is part of the text.
void TrimSpaces(const char*& p, size_t& n) {
  while (n > 0 && *p == ' ') ++p, --n;
  while (n > 0 && p[n - 1] == ' ') --n;
}

void TrimSpaces(std::string& s) {
  size_t end = s.find_last_not_of(' ');
  if (end == std::string::npos) {
    s.clear();
    return;
  }
  s.erase(end + 1);
  size_t start = s.find_first_not_of(' ');
  if (start > 0) s.erase(0, start);
}

ZEPString Bytes(const char* p, size_t n) {
  return ZEPString::FromBytes(p, static_cast<uint32_t>(n));
}

// Hands out the lines between "\n" characters, the last one running to the
// end of the text (so "a\n" gives "a" and "").
class LineReader {
 public:
  LineReader(const char* text, uint32_t len) : m_p(text), m_nLeft(len), m_bMore(text != nullptr) {}
  bool Next(const char*& line, size_t& n) {
    if (!m_bMore) return false;
    line = m_p;
    const void* nl = m_nLeft ? std::memchr(m_p, '\n', m_nLeft) : nullptr;
    if (!nl) {
      n = m_nLeft;
      m_bMore = false;
      return true;
    }
    n = static_cast<const char*>(nl) - m_p;
    m_p += n + 1;
    m_nLeft -= n + 1;
    return true;
  }

 private:
  const char* m_p;
  size_t m_nLeft;
  bool m_bMore;
};

bool IsHeader(const char* p, size_t n) { return n >= 3 && p[0] == '[' && p[n - 1] == ']'; }

void HandleLine(const std::string& line, ZEPString& section, CINIVisitor& visitor) {
  const char* p = line.data();
  size_t n = line.size();
  if (IsHeader(p, n)) {
    const char* name = p + 1;
    size_t len = n - 2;
    TrimSpaces(name, len);
    ZEPString header = Bytes(name, len);
    visitor.OnSection(header);
    section = header;
    return;
  }
  if (section.IsNull()) return;  // before the first header
  const char* eq = static_cast<const char*>(std::memchr(p, '=', n));
  size_t nameLen = eq ? static_cast<size_t>(eq - p) : n;
  const char* value = eq ? eq + 1 : p + n;
  size_t valueLen = eq ? n - nameLen - 1 : 0;
  const char* name = p;
  TrimSpaces(name, nameLen);
  TrimSpaces(value, valueLen);
  // "=x" has no name; neither has a line that joining left empty ("\" alone).
  if (nameLen == 0) return;
  // Copy the section: a callback may not see it change under its feet.
  ZEPString current(section);
  visitor.OnItem(current, Bytes(name, nameLen), Bytes(value, valueLen));
}

}  // namespace

void WalkIniText(const char* text, uint32_t len, ZEPString& section, CINIVisitor& visitor) {
  LineReader lines(text, len);
  const char* p;
  size_t n;
  std::string line;
  while (lines.Next(p, n)) {
    TrimSpaces(p, n);
    if (n == 0) continue;
    line.assign(p, n);
    // Continuation: "\" at the end joins the next line in its place; the
    // joined lines are consumed here.
    while (!line.empty() && line.back() == '\\') {
      line.pop_back();
      const char* next;
      size_t nextLen;
      if (!lines.Next(next, nextLen)) break;
      TrimSpaces(next, nextLen);
      line.append(next, nextLen);
      TrimSpaces(line);
    }
    HandleLine(line, section, visitor);
  }
}

// ---------------------------------------------------------------------------

CINIProcessor::CINIProcessor() : m_bLoaded(false), m_pUser(nullptr) {}

CINIProcessor::CINIProcessor(ZEPString path) : m_bLoaded(false), m_pUser(nullptr) {
  m_bLoaded = m_Content.LoadFromFile(path.GetText()) != -1;
}

CINIProcessor::~CINIProcessor() {}

CINIAssigner* CINIProcessor::Find(const ZEPString& key) const {
  SmartPtr<CListNode> cursor;
  for (CINIAssigner* a = m_Assigners.GetFirst(&cursor); a; a = m_Assigners.GetNext(&cursor))
    if (a->m_Key == key) return a;
  return nullptr;
}

int CINIProcessor::AddAssign(ZEPString key, INIAssignProc proc) {
  if (!proc || Find(key)) return -1;
  CINIAssigner* a = new CINIAssigner{key, proc};
  m_Assigners.AddTail(a);
  return 0;
}

int CINIProcessor::LoadIniFile(ZEPString path) {
  if (m_bLoaded) return -1;
  m_bLoaded = m_Content.LoadFromFile(path.GetText()) == 0;
  return m_bLoaded ? 0 : -1;
}

int CINIProcessor::LoadIniText(const char* text, uint32_t len) {
  if (m_bLoaded || (text == nullptr && len > 0)) return -1;
  m_Content = ZEPString::FromBytes(text, len);
  m_bLoaded = true;
  return 0;
}

bool CINIProcessor::IsSection(ZEPString line) {
  line.Trim();
  return !line.IsNull() && IsHeader(line.GetText(), line.GetLength());
}

int CINIProcessor::Process(void* user) {
  if (!m_bLoaded) return -1;
  // A callback may run Process() again; each run keeps its own user pointer.
  void* outer = m_pUser;
  m_pUser = user;
  WalkIniText(m_Content.GetText(), m_Content.GetLength(), m_Section, *this);
  m_pUser = outer;
  return 0;
}

void CINIProcessor::OnSection(const ZEPString& name) {
  CINIAssigner* a = Find(name);
  if (!a) a = Find("*");
  if (a) a->m_pProc(name, "", "", m_pUser);
}

void CINIProcessor::OnItem(const ZEPString& section, const ZEPString& name,
                           const ZEPString& value) {
  CINIAssigner* a = Find(section + "." + name);
  if (!a) a = Find(section + ".*");
  if (!a) a = Find("*." + name);
  if (!a) a = Find("*.*");
  if (a) a->m_pProc(section, name, value, m_pUser);
}
