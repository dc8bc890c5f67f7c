// Lock contracts the compiler checks. The lock objects (spin locks, fast mutexes, the
// cancel spin lock) are capabilities; the platform's acquire and release routines say
// which one they take or drop; the device extension's members name the lock that
// guards them, and a routine entered with a lock held says so with REQUIRES.
//
// The macros mean something only to clang's thread-safety analysis, in the lock
// check build (the `locks` preset defines VARNOOBEX_LOCK_ANALYSIS and compiles the
// driver folders with -Wthread-safety -Werror). Everywhere else, the Windows image and
// the gcc host build among them, they are empty and change nothing.
// docs/architecture.md tells where the analysis stops.
#pragma once

#if defined(__clang__) && defined(VARNOOBEX_LOCK_ANALYSIS)
#define LOCK_ATTRIBUTE(x) __attribute__((x))
#else
#define LOCK_ATTRIBUTE(x)
#endif

// A type whose objects are locks (Name is what the diagnostics call it).
#define CAPABILITY(Name) LOCK_ATTRIBUTE(capability(Name))
// A member touched only while Lock is held.
#define GUARDED_BY(Lock) LOCK_ATTRIBUTE(guarded_by(Lock))
// A lock taken only while each of the named ones is already held.
#define ACQUIRED_AFTER(...) LOCK_ATTRIBUTE(acquired_after(__VA_ARGS__))
// A routine entered, and left, with the locks held.
#define REQUIRES(...) LOCK_ATTRIBUTE(requires_capability(__VA_ARGS__))
// A routine entered, and left, without the locks (it takes them itself).
#define EXCLUDES(...) LOCK_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// A routine that returns with the locks held, or that drops them.
#define ACQUIRE(...) LOCK_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) LOCK_ATTRIBUTE(release_capability(__VA_ARGS__))
// A routine that holds the locks on return exactly when it returns Value.
#define TRY_ACQUIRE(Value, ...) LOCK_ATTRIBUTE(try_acquire_capability(Value, __VA_ARGS__))
// A routine the analysis cannot follow; every use says why next to it.
#define NO_THREAD_SAFETY_ANALYSIS LOCK_ATTRIBUTE(no_thread_safety_analysis)
