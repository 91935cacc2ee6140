// Clang thread-safety annotations. Under clang with -Wthread-safety (the tsan
// preset) the compiler checks that members marked GUARDED_BY are only touched
// with their mutex held and that functions marked REQUIRES are only called so;
// under g++ every macro expands to nothing.
//
// Use them with plat::Mutex and plat::MutexLock (Mutex.h): std::mutex itself
// carries no annotations, so the analysis cannot see it being locked.
#pragma once

#if defined(__clang__)
#define KP_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KP_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are capabilities (mutexes) named `x` in messages.
#ifndef CAPABILITY
#define CAPABILITY(x) KP_THREAD_ANNOTATION(capability(x))
#endif

// On a class: an RAII object that holds a capability for its lifetime.
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY KP_THREAD_ANNOTATION(scoped_lockable)
#endif

// On a member: read or written only with `x` held.
#ifndef GUARDED_BY
#define GUARDED_BY(x) KP_THREAD_ANNOTATION(guarded_by(x))
#endif

// On a pointer member: the pointee is read or written only with `x` held.
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) KP_THREAD_ANNOTATION(pt_guarded_by(x))
#endif

// On a mutex member: the lock order among mutexes.
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) KP_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) KP_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#endif

// On a function: callers must hold (REQUIRES) or must not hold (EXCLUDES) the
// listed mutexes.
#ifndef REQUIRES
#define REQUIRES(...) KP_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef REQUIRES_SHARED
#define REQUIRES_SHARED(...) KP_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) KP_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif

// On a function: it acquires or releases the listed mutexes (no argument: the
// object it is called on).
#ifndef ACQUIRE
#define ACQUIRE(...) KP_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE_SHARED
#define ACQUIRE_SHARED(...) KP_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) KP_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_SHARED
#define RELEASE_SHARED(...) KP_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) KP_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif

// On a function: asserts at run time that the caller holds the mutex; the
// analysis takes it as held afterwards.
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) KP_THREAD_ANNOTATION(assert_capability(x))
#endif

// On a function returning a mutex: which mutex it returns.
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) KP_THREAD_ANNOTATION(lock_returned(x))
#endif

// On a function: leave it out of the analysis. Say beside it why it is safe.
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS KP_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
