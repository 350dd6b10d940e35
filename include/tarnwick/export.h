/* Export macros of the tarnwick libraries' C API: TARNWICK_API marks a function the
 * shared library exports (and a Windows program imports); a static build needs none. */
#ifndef TARNWICK_EXPORT_H
#define TARNWICK_EXPORT_H

#if defined(_WIN32) && defined(TARNWICK_SHARED)
#if defined(TARNWICK_BUILDING)
#define TARNWICK_API __declspec(dllexport)
#else
#define TARNWICK_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TARNWICK_API __attribute__((visibility("default")))
#else
#define TARNWICK_API
#endif

#endif /* TARNWICK_EXPORT_H */
