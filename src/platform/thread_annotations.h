#ifndef KORVANE_PLATFORM_THREAD_ANNOTATIONS_H
#define KORVANE_PLATFORM_THREAD_ANNOTATIONS_H

// Clang's thread-safety analysis (-Wthread-safety) checks the locking of annotated members;
// other compilers ignore the annotations.
#if defined(__clang__)
#define KOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KOR_THREAD_ANNOTATION(x)
#endif

#define KOR_CAPABILITY(x) KOR_THREAD_ANNOTATION(capability(x))
#define KOR_SCOPED_CAPABILITY KOR_THREAD_ANNOTATION(scoped_lockable)
#define KOR_GUARDED_BY(x) KOR_THREAD_ANNOTATION(guarded_by(x))
#define KOR_ACQUIRE(...) KOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KOR_RELEASE(...) KOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KOR_TRY_ACQUIRE(...) KOR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KOR_REQUIRES(...) KOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KOR_EXCLUDES(...) KOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#endif
