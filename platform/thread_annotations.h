// Capability annotations for clang's thread-safety analysis
// (-Wthread-safety): which lock guards which state, and which functions
// take, leave or need a lock. Under clang they are the compiler's
// attributes; every other compiler (GCC, MSVC) sees nothing.
//
// The serial layer's locks are re-entrant, and the analysis (clang 14) has
// no re-entrant capability: a function that runs with a lock already held
// says so with SIO_REQUIRES instead of taking it again, and the few places
// the analysis cannot follow opt out with SIO_NO_THREAD_SAFETY_ANALYSIS and
// a comment saying why.
#pragma once

#if defined(__clang__)
#define SIO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SIO_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks; the name shows in the warnings.
#define SIO_CAPABILITY(name) SIO_THREAD_ANNOTATION(capability(name))
// A class whose objects hold a lock for their lifetime (RAII).
#define SIO_SCOPED_CAPABILITY SIO_THREAD_ANNOTATION(scoped_lockable)

// State that is read and written only with the lock held.
#define SIO_GUARDED_BY(lock) SIO_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target (not the pointer) is guarded by the lock.
#define SIO_PT_GUARDED_BY(lock) SIO_THREAD_ANNOTATION(pt_guarded_by(lock))

// The function is called with the lock(s) held, and leaves them held.
#define SIO_REQUIRES(...) SIO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define SIO_REQUIRES_SHARED(...) SIO_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes the lock(s) (no argument on a lock's own member: the
// lock itself) and returns holding them.
#define SIO_ACQUIRE(...) SIO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function leaves the lock(s) it was called holding.
#define SIO_RELEASE(...) SIO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock(s) when it returns the given value.
#define SIO_TRY_ACQUIRE(...) SIO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the lock(s): the function takes them itself and
// must not be entered with them held (a wait for another thread that needs
// them, say).
#define SIO_EXCLUDES(...) SIO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Tells the analysis that the lock is held from here on (checked at run
// time by the function, not by the analysis).
#define SIO_ASSERT_CAPABILITY(lock) SIO_THREAD_ANNOTATION(assert_capability(lock))
// The function returns a reference to this lock (an accessor).
#define SIO_RETURN_CAPABILITY(lock) SIO_THREAD_ANNOTATION(lock_returned(lock))

// Lock order, for the analysis's own (beta) order check; at run time the
// order is checked by platform::LockRank (platform/sync.h).
#define SIO_ACQUIRED_BEFORE(...) SIO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define SIO_ACQUIRED_AFTER(...) SIO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// Turns the analysis off for one function. Every use carries a comment
// saying what the analysis cannot see there.
#define SIO_NO_THREAD_SAFETY_ANALYSIS SIO_THREAD_ANNOTATION(no_thread_safety_analysis)
