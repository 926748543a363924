// zepecho.h — the forms of the log's echo on standard output, and how the
// entry point picks one.
//
// Owns nothing: plain functions over their arguments. The log (zeplog.h)
// builds its echo lines with them.
//
// Forms: the log's own line, bytes as logged (GB2312 where the text is
// Chinese); the same line in UTF-8, for a reader whose locale uses UTF-8
// (a terminal, a pipe into `tee`, a file, a container's log); and the
// journal's form, when standard output is the journal's stream: UTF-8,
// each line led by the priority prefix of sd-daemon(3) ("<5>" MESG, "<6>"
// INFO, "<4>" WARN, "<3>" ERRR) and without the time stamp, which the
// journal keeps itself. The log file is never written in any of these: it
// keeps the logged bytes.
//
// Threads: every function may be called from any thread, except
// ZEPLocaleIsUtf8, which sets the process's locale for a moment and must run
// before any other thread exists. No locks.
#ifndef ZEP_LOG_ZEPECHO_H
#define ZEP_LOG_ZEPECHO_H

#include <iconv.h>

#include <cstddef>
#include <string>

enum ZEPEchoForm_ {
  ZEP_ECHO_AS_LOGGED = 0,  // the log's bytes
  ZEP_ECHO_UTF8 = 1,       // the log's line in UTF-8
  ZEP_ECHO_JOURNAL = 2,    // UTF-8, priority prefix, no time stamp
};

// The priority prefix of a level: "<5>", "<6>", "<4>" or "<3>"; "<6>" for a
// value outside the four levels.
const char* ZEPJournalPrefix(int type);

// Appends the journal's form of one log line to `out`. `text` is the line
// without its time stamp, already in UTF-8: its first `headLen` bytes are
// the head (the level tag with its colon, after the file and line when
// those are logged), the rest is the message. Each line of the message
// becomes one journal line, led by the prefix and ending in "\n"; the first
// carries the head. Carriage returns before a line end and empty lines are
// left out (the banner starts with two), so a message that begins with a
// line end puts the head before its first line of text; a message without
// any text gives the prefix and the head alone.
void ZEPJournalLines(int type, const std::string& text, size_t headLen, std::string& out);

// Appends `text` (GB2312 mixed with ASCII) to `out` in UTF-8 through `cd`
// (from iconv_open("UTF-8", "GB18030")). Without a converter (cd is
// (iconv_t)-1) every byte above 0x7f becomes '?', so the result is still
// UTF-8.
void ZEPEchoToUtf8(iconv_t cd, const char* text, std::string& out);

// JOURNAL_STREAM's value: "DEV:INO", both decimal without sign or blanks,
// as the service manager writes them. True with both numbers; false for a
// null or empty text, a missing part, any other character, or a number
// that does not fit 64 bits.
bool ZEPParseJournalStream(const char* text, unsigned long long& dev, unsigned long long& ino);

// Whether descriptor `fd` is the stream that `journalStream` (the value of
// JOURNAL_STREAM, may be null) names: its device and inode are those.
bool ZEPIsJournalStream(const char* journalStream, int fd);

// Whether the locale of the environment (LC_ALL, LC_CTYPE, LANG) uses
// UTF-8. The locale is only looked at: the process is put back to "C", so
// no conversion or case rule of the program changes with it. Before any
// other thread exists (setlocale is not thread-safe).
bool ZEPLocaleIsUtf8();

// The form of the echo to `fd`: the journal's when `journalStream` names it,
// else UTF-8 when `localeUtf8`, else the log's bytes.
ZEPEchoForm_ ZEPChooseEchoForm(const char* journalStream, int fd, bool localeUtf8);

#endif  // ZEP_LOG_ZEPECHO_H
