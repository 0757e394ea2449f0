// Lock rules the compiler checks: Clang's thread-safety attributes under
// names of our own. With Clang and -Wthread-safety (the SORN_THREAD_SAFETY
// build), a member marked SORN_GUARDED_BY(m) read or written without m held,
// or a function marked SORN_REQUIRES(m) called without it, fails to compile.
// Other compilers see nothing: every macro expands to nothing there.
//
// In short:
//   SORN_GUARDED_BY(m)       the member is read and written only with m held
//   SORN_PT_GUARDED_BY(m)    what the pointer points to, likewise
//   SORN_REQUIRES(m...)      the caller holds m (and keeps it)
//   SORN_EXCLUDES(m...)      the caller must not hold m (the function takes it)
//   SORN_ACQUIRE / RELEASE   the function takes / gives back the lock
//   SORN_ACQUIRED_AFTER(m)   lock order: this lock is taken inside m
//   SORN_RETURN_CAPABILITY   the function returns (a reference to) that lock
//   SORN_NO_THREAD_SAFETY_ANALYSIS   the body is not checked; say why beside it
#pragma once

#if defined(__clang__)
#define SORN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SORN_THREAD_ANNOTATION(x)
#endif

#define SORN_CAPABILITY(x) SORN_THREAD_ANNOTATION(capability(x))
#define SORN_SCOPED_CAPABILITY SORN_THREAD_ANNOTATION(scoped_lockable)
#define SORN_GUARDED_BY(x) SORN_THREAD_ANNOTATION(guarded_by(x))
#define SORN_PT_GUARDED_BY(x) SORN_THREAD_ANNOTATION(pt_guarded_by(x))
#define SORN_ACQUIRED_BEFORE(...) SORN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define SORN_ACQUIRED_AFTER(...) SORN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define SORN_REQUIRES(...) SORN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define SORN_ACQUIRE(...) SORN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define SORN_RELEASE(...) SORN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define SORN_TRY_ACQUIRE(...) SORN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define SORN_EXCLUDES(...) SORN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define SORN_ASSERT_CAPABILITY(x) SORN_THREAD_ANNOTATION(assert_capability(x))
#define SORN_RETURN_CAPABILITY(x) SORN_THREAD_ANNOTATION(lock_returned(x))
#define SORN_NO_THREAD_SAFETY_ANALYSIS SORN_THREAD_ANNOTATION(no_thread_safety_analysis)
