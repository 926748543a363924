// zepecho.h — the forms of the log's echo on standard output, and how the
// entry point picks one.
//
// Owns nothing: plain functions over their arguments. The log (zeplog.h)
// builds its echo lines with them; they need only the levels (loglevel.h),
// never the log itself. The UTF-8 of the echo comes from base/zepcharset.h.
//
// Forms: the log's own line, bytes as logged (GB2312 where the text is
// Chinese); the same line in UTF-8, for a reader whose locale uses UTF-8
// (a terminal, a pipe into `tee`, a file, a container's log); and the
// journal's form, when standard output is the journal's stream: UTF-8,
// each line led by the priority prefix of sd-daemon(3) ("<5>" MESG, "<6>"
// INFO, "<4>" WARN, "<3>" ERRR; "<3>" too for a MESG line that reports a
// failure, which begins with "错误:") and without the time stamp, which the
// journal keeps itself. The log file is never written in any of these: it
// keeps the logged bytes.
//
// Texts printed before the log exists, or by a run that has no log (the
// usage text, the configuration check), reach the journal through a
// journal stream (ZEPOpenJournalFile): a FILE* that puts a priority prefix
// before each of their lines.
//
// Threads: every function may be called from any thread, except
// ZEPLocaleIsUtf8, which sets the process's locale for a moment and must run
// before any other thread exists. A journal stream belongs to the thread
// that opened it, like any FILE* without locking. No locks.
#ifndef ZEP_LOG_ZEPECHO_H
#define ZEP_LOG_ZEPECHO_H

#include <cstddef>
#include <cstdio>
#include <string>

enum ZEPEchoForm_ {
  ZEP_ECHO_AS_LOGGED = 0,  // the log's bytes
  ZEP_ECHO_UTF8 = 1,       // the log's line in UTF-8
  ZEP_ECHO_JOURNAL = 2,    // UTF-8, priority prefix, no time stamp
};

// The priority prefix of a level: "<5>", "<6>", "<4>" or "<3>"; "<6>" for a
// value outside the four levels.
const char* ZEPJournalPrefix(int type);

// "错误:" (error:) in GB2312: the word every failure the daemon logs at
// MESG begins with ("错误:登录失败: ...", "错误:无法联接:...").
#define ZEP_ERROR_WORD "\xb4\xed\xce\xf3:"

// The prefix of one logged message `msg` (may be null) at level `type`:
// the level's, except "<3>" for a MESG message beginning with ZEP_ERROR_WORD.
const char* ZEPJournalPrefixOf(int type, const char* msg);

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
// The same with the prefix given (as ZEPJournalPrefixOf returns it).
void ZEPJournalLines(const char* prefix, const std::string& text, size_t headLen, std::string& out);

// A write-only stream whose every line goes to `fd` led by "<priority>"
// (0-7 as in syslog(3); 7, debug, is kept by the journal but left out of
// its default view), except a line that begins with a level tag and a colon
// ("WARN:", "ERRR:", ...), which takes that level's priority. Empty lines
// are left out; a last line without its end is ended at fclose. The
// bytes are written as given, in blocking writes; `fd` stays open after
// fclose. Null when the C library cannot make the stream.
FILE* ZEPOpenJournalFile(int fd, int priority);

// The priority prefix a journal stream of `priority` gives the line
// `line` (`len` bytes, without its end): "<priority>" or its level's.
std::string ZEPJournalLinePrefix(int priority, const char* line, size_t len);

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
