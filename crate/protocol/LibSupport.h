#pragma once
// Helpers both crate libraries use at their C entry points.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "ClientLink.h"
#include "Wire.h"

namespace qmx {

// Error codes shared by both libraries (the QMX_ERR_* and QMX58_ERR_* values agree).
constexpr int32_t kLibOk = 0;
constexpr int32_t kLibErrArg = -1;
constexpr int32_t kLibErrNotOpen = -2;
constexpr int32_t kLibErrConnect = -3;
constexpr int32_t kLibErrTimeout = -4;
constexpr int32_t kLibErrDisconnected = -5;
constexpr int32_t kLibErrProtocol = -6;
constexpr int32_t kLibErrRefused = -7;
constexpr int32_t kLibErrNotFound = -8;
constexpr int32_t kLibErrState = -9;
constexpr int32_t kLibErrData = -10;
constexpr int32_t kLibErrInternal = -11;
constexpr int32_t kLibErrNoResources = -12;

inline int32_t fromLink(ClientLink::Result r) {
    switch (r) {
    case ClientLink::Result::Ok: return kLibOk;
    case ClientLink::Result::Connect: return kLibErrConnect;
    case ClientLink::Result::Timeout: return kLibErrTimeout;
    case ClientLink::Result::Disconnected: return kLibErrDisconnected;
    case ClientLink::Result::Protocol: return kLibErrProtocol;
    }
    return kLibErrInternal;
}

inline int32_t fromStatus(int16_t status) {
    switch (status) {
    case wire::kOk: return kLibOk;
    case wire::kRefused: return kLibErrRefused;
    case wire::kNotFound: return kLibErrNotFound;
    case wire::kBadRequest: return kLibErrArg;
    case wire::kBadState: return kLibErrState;
    case wire::kUnsupported: return kLibErrRefused;
    default: return kLibErrProtocol;
    }
}

// Runs an entry point's body so that no C++ exception crosses the C interface.
template <class F>
int32_t guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kLibErrNoResources;
    } catch (...) {
        return kLibErrInternal;
    }
}

// A serial number from a caller's fixed field: at most 15 characters, never reading past 16.
inline std::string serialFrom(const char* field) {
    std::size_t n = 0;
    while (n < 15 && field[n] != '\0') ++n;
    return std::string(field, n);
}

// Copies text into a fixed field of size bytes, NUL-padded and NUL-terminated.
inline void copyField(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace qmx
