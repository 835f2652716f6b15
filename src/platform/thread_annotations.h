// Lock requirements that clang's thread-safety analysis (-Wthread-safety)
// checks at compile time; other compilers see nothing.
#ifndef QUORVEL_PLATFORM_THREAD_ANNOTATIONS_H_
#define QUORVEL_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define QRV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QRV_THREAD_ANNOTATION(x)
#endif

#define QRV_CAPABILITY(name) QRV_THREAD_ANNOTATION(capability(name))
#define QRV_SCOPED_CAPABILITY QRV_THREAD_ANNOTATION(scoped_lockable)
#define QRV_GUARDED_BY(lock) QRV_THREAD_ANNOTATION(guarded_by(lock))
#define QRV_REQUIRES(...) QRV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QRV_ACQUIRE(...) QRV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QRV_RELEASE(...) QRV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QRV_TRY_ACQUIRE(...) QRV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QRV_NO_THREAD_SAFETY_ANALYSIS QRV_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QUORVEL_PLATFORM_THREAD_ANNOTATIONS_H_
