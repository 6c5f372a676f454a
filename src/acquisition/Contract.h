#pragma once
// Contract checks for programming errors (never for user or device errors).
//
// QMX_REQUIRE is always compiled in: it guards construction and API entry points, where
// the cost is negligible. QMX_BOUNDS guards per-element accesses; it is compiled in only
// when QMX_CHECK_BOUNDS is defined (debug and sanitizer builds), because in an inner loop
// of the transform it would cost real speed.
//
// A violated contract prints "Assertion failed: <condition text>" with the place and
// aborts: continuing with a wrong index or a null array would corrupt a reading.

namespace qmx {
[[noreturn]] void contractFailure(const char* condition, const char* file, int line);
}

#define QMX_REQUIRE(cond) \
    ((cond) ? static_cast<void>(0) : ::qmx::contractFailure(#cond, __FILE__, __LINE__))

#if defined(QMX_CHECK_BOUNDS)
#define QMX_BOUNDS(cond) QMX_REQUIRE(cond)
#else
#define QMX_BOUNDS(cond) static_cast<void>(0)
#endif
