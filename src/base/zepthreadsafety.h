// zepthreadsafety.h — clang's thread-safety annotations under our names.
//
// Owns nothing; header only, any layer may include it. With clang and
// -Wthread-safety (the test command builds the libraries so once) the
// compiler checks that a member marked GUARDED_BY is touched only with its
// lock held, that a function marked REQUIRES is called only with the lock
// held, and that locks are taken in the written order (ACQUIRED_BEFORE /
// ACQUIRED_AFTER, with -Wthread-safety-beta). Every other compiler sees
// nothing: the macros expand to nothing.
//
// Naming: a function that expects its caller to hold a lock ends in
// `Locked` and carries REQUIRES(that lock); a function without the suffix
// takes what it needs itself (docs/ARCHITECTURE.md, lock order).
#ifndef ZEP_BASE_ZEPTHREADSAFETY_H
#define ZEP_BASE_ZEPTHREADSAFETY_H

#if defined(__clang__)
#define ZEP_TSA(x) __attribute__((x))
#else
#define ZEP_TSA(x)
#endif

// A type that is a lock (Mutex), and a guard that holds one for a scope.
#define CAPABILITY(x) ZEP_TSA(capability(x))
#define SCOPED_CAPABILITY ZEP_TSA(scoped_lockable)
// Data that may be touched only with the lock held.
#define GUARDED_BY(x) ZEP_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) ZEP_TSA(pt_guarded_by(x))
// The written lock order: this lock is taken before / after those.
#define ACQUIRED_BEFORE(...) ZEP_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZEP_TSA(acquired_after(__VA_ARGS__))
// The caller must hold (REQUIRES) or must not hold (EXCLUDES) the lock.
#define REQUIRES(...) ZEP_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ZEP_TSA(locks_excluded(__VA_ARGS__))
// The function takes, tries or lets go of the lock and returns so.
#define ACQUIRE(...) ZEP_TSA(acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZEP_TSA(try_acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZEP_TSA(release_capability(__VA_ARGS__))
// The function returns the lock named (for accessors of a lock member).
#define RETURN_CAPABILITY(x) ZEP_TSA(lock_returned(x))
// The lock is known to be held here (a check the analysis cannot follow).
#define ASSERT_CAPABILITY(x) ZEP_TSA(assert_capability(x))
// The analysis cannot follow this function (the lock wrappers themselves,
// hand-over-hand paths); each use says why in a comment.
#define NO_THREAD_SAFETY_ANALYSIS ZEP_TSA(no_thread_safety_analysis)

#endif  // ZEP_BASE_ZEPTHREADSAFETY_H
