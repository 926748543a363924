// zepassert.h — the one fatal-check macro of the code base.
//
// ZEP_ASSERT(expr) is for invariant violations the framework cannot continue
// from. On failure it prints the expression exactly as written, the source
// unit and the line to standard error, then aborts. The unit is the file name
// without directory, extension and topic: a unit split into topic files
// (zepframe_timer.cpp, zepmultithread_lock.cpp) still names itself
// (zepframe, zepmultithread). It is never compiled out: the checks guard
// registries and accounting whose corruption would otherwise go unnoticed.
// Callable from any thread; takes no lock (it must work while locks are held).
#ifndef ZEP_BASE_ZEPASSERT_H
#define ZEP_BASE_ZEPASSERT_H

namespace zep {
[[noreturn]] void AssertFail(const char* expr, const char* file, int line);
}  // namespace zep

#define ZEP_ASSERT(expr) \
  ((expr) ? static_cast<void>(0) : ::zep::AssertFail(#expr, __FILE__, __LINE__))

#endif  // ZEP_BASE_ZEPASSERT_H
