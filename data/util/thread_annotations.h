// Clang's thread-safety annotations: which mutex guards which member, which
// function needs which mutex held. Clang checks them with -Wthread-safety
// (scripts/check_threads.sh); other compilers see nothing.
#pragma once

#if defined(__clang__)
#define FOX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FOX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) FOX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY FOX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) FOX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) FOX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) FOX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) FOX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) FOX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) FOX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) FOX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) FOX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) FOX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) FOX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) FOX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS FOX_THREAD_ANNOTATION(no_thread_safety_analysis)
