#pragma once
// DynArray: an owning array of fixed length, zero-filled and 64-byte aligned (so the
// transform's vector loads never straddle a cache line). Element access checks the index
// in debug and sanitizer builds.

#include "Contract.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace qmx {

template <class T>
class DynArray {
    static_assert(std::is_trivially_copyable_v<T>, "DynArray holds plain values only");

public:
    static constexpr std::size_t kAlignment = 64;

    DynArray() = default;
    explicit DynArray(long size) { resize(size); }
    ~DynArray() { release(); }

    DynArray(const DynArray&) = delete;
    DynArray& operator=(const DynArray&) = delete;
    DynArray(DynArray&& other) noexcept
        : _data(std::exchange(other._data, nullptr)), _len(std::exchange(other._len, 0)) {}
    DynArray& operator=(DynArray&& other) noexcept
    {
        if (this != &other) {
            release();
            _data = std::exchange(other._data, nullptr);
            _len = std::exchange(other._len, 0);
        }
        return *this;
    }

    // Replaces the contents with `size` zero-valued elements.
    void resize(long size)
    {
        QMX_REQUIRE(size >= 0);
        release();
        if (size > 0) {
            const std::size_t bytes = static_cast<std::size_t>(size) * sizeof(T);
            _data = static_cast<T*>(::operator new(bytes, std::align_val_t(kAlignment)));
            std::memset(static_cast<void*>(_data), 0, bytes);
            _len = size;
        }
    }

    T& operator[](long pos)
    {
        QMX_BOUNDS(pos >= 0);
        QMX_BOUNDS(pos < _len);
        return _data[pos];
    }
    const T& operator[](long pos) const
    {
        QMX_BOUNDS(pos >= 0);
        QMX_BOUNDS(pos < _len);
        return _data[pos];
    }

    long size() const { return _len; }
    T* data() { return _data; }
    const T* data() const { return _data; }

private:
    void release()
    {
        if (_data)
            ::operator delete(static_cast<void*>(_data), std::align_val_t(kAlignment));
        _data = nullptr;
        _len = 0;
    }

    T* _data = nullptr;
    long _len = 0;
};

}  // namespace qmx
