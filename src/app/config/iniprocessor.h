// iniprocessor.h — CINIProcessor, the reader of dyrclient.ini.
//
// The processor owns the whole file text, the name of the last section header
// it met and the list of registered assigners (key + callback). It keeps no
// table of values: Process() walks the text line by line and hands every
// section header and every "name = value" item to the one callback whose key
// matches best, passing the caller's user pointer through.
//
// Grammar: lines end at "\n" (a "\r" before it stays part of the line, so
// "[S]\r" is no header); only spaces are trimmed, never tabs or "\r"; a line
// ending in "\" is joined with the next line; there is no comment syntax;
// lines before the first header are ignored.
//
// Key forms for AddAssign(), best match first: headers "S", then "*"; items
// "S.N", "S.*", "*.N", then "*.*". Keys compare case-sensitively.
//
// WalkIniText() is the parser itself, a plain function over (pointer, length)
// that takes any bytes (zeros, CR-LF, lines of any length, a missing last
// newline).
//
// Threads: not thread-safe, takes no lock; one thread builds, loads and runs
// a processor. Callbacks run on the thread that calls Process().
#ifndef ZEP_APP_CONFIG_INIPROCESSOR_H
#define ZEP_APP_CONFIG_INIPROCESSOR_H

#include <cstdint>

#include "base/zepstring.h"
#include "base/zeptlist.h"

// Callback for a header (section name, "", "", user) or an item (section,
// name, value, user).
typedef void (*INIAssignProc)(ZEPString section, ZEPString name, ZEPString value, void* user);

struct CINIAssigner {
  ZEPString m_Key;
  INIAssignProc m_pProc;
};

// What the parser finds, in file order.
class CINIVisitor {
 public:
  virtual ~CINIVisitor() {}
  virtual void OnSection(const ZEPString& name) = 0;
  virtual void OnItem(const ZEPString& section, const ZEPString& name, const ZEPString& value) = 0;
};

// Walks `len` bytes at `text` (null text: no lines). `section` is the current
// section, null until a header is met; it is updated at every header and
// carries over to the next walk.
void WalkIniText(const char* text, uint32_t len, ZEPString& section, CINIVisitor& visitor);

class CINIProcessor : private CINIVisitor {
 public:
  CINIProcessor();  // not loaded; see LoadIniFile()
  // Reads the file at `path`; a missing or unreadable file leaves the
  // processor unloaded (Process() then returns -1), an empty one is loaded.
  explicit CINIProcessor(ZEPString path);
  ~CINIProcessor() override;
  CINIProcessor(const CINIProcessor&) = delete;
  CINIProcessor& operator=(const CINIProcessor&) = delete;

  // 0, or -1 when an assigner with an equal key is already registered (the
  // first stays) or `proc` is null.
  int AddAssign(ZEPString key, INIAssignProc proc);
  // -1 if already loaded (nothing changes) or if the file cannot be read;
  // 0 when it was read.
  int LoadIniFile(ZEPString path);
  // The same with the text itself (any bytes, a copy is kept); null text
  // with len 0 loads an empty file.
  int LoadIniText(const char* text, uint32_t len);
  bool IsLoaded() const { return m_bLoaded; }
  // The line, spaces trimmed, is at least 3 characters, "[" ... "]".
  static bool IsSection(ZEPString line);
  // -1 if not loaded, else walks the whole text (again from the first line on
  // every call) and returns 0.
  int Process(void* user);

 private:
  void OnSection(const ZEPString& name) override;
  void OnItem(const ZEPString& section, const ZEPString& name, const ZEPString& value) override;
  CINIAssigner* Find(const ZEPString& key) const;

  bool m_bLoaded;
  ZEPString m_Section;
  ZEPList<CINIAssigner> m_Assigners;
  ZEPString m_Content;
  void* m_pUser;  // the user pointer of the running Process()
};

#endif  // ZEP_APP_CONFIG_INIPROCESSOR_H
