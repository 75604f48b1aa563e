#pragma once
// Clang's thread-safety attributes, checked by `make check-locks`
// (-Wthread-safety). Other compilers see nothing.
//
//   CAPABILITY         a lock type
//   SCOPED_CAPABILITY  an RAII holder of a lock
//   GUARDED_BY(l)      a member read or written only with l held
//   PT_GUARDED_BY(l)   what a pointer member points to, guarded by l
//   REQUIRES(l)        a function called with l held
//   EXCLUDES(l)        a function called without l (it takes l itself)
//   ACQUIRED_AFTER(l)  a lock taken only while l is held or not at all; the
//                      order of the whole host is in platform/dshow/README.md
#if defined(__clang__)
#define MARLIN_TSA(x) __attribute__((x))
#else
#define MARLIN_TSA(x)
#endif

#define CAPABILITY(x) MARLIN_TSA(capability(x))
#define SCOPED_CAPABILITY MARLIN_TSA(scoped_lockable)
#define GUARDED_BY(x) MARLIN_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) MARLIN_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) MARLIN_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MARLIN_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) MARLIN_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MARLIN_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MARLIN_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MARLIN_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) MARLIN_TSA(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) MARLIN_TSA(assert_capability(x))
#define RETURN_CAPABILITY(x) MARLIN_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MARLIN_TSA(no_thread_safety_analysis)
