#pragma once
// DynArray: an owning array of fixed length, zero-filled and 64-byte aligned (so the
// transform's vector loads never straddle a cache line). Element access checks the index
// in debug and sanitizer builds.
//
// The zeroes come from calloc: a large array is fresh memory from the system, which is zero
// without being written, so pages the program never touches (most of a phase spectrum of
// which two bins are read) cost no resident memory and no time.

#include "Contract.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace qmx {

namespace detail {
inline std::atomic<long>& dynArrayAllocations()
{
    static std::atomic<long> count{0};
    return count;
}
}  // namespace detail

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
        : _block(std::exchange(other._block, nullptr)), _data(std::exchange(other._data, nullptr)),
          _len(std::exchange(other._len, 0)) {}
    DynArray& operator=(DynArray&& other) noexcept
    {
        if (this != &other) {
            release();
            _block = std::exchange(other._block, nullptr);
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
            if (bytes / sizeof(T) != static_cast<std::size_t>(size) || bytes > SIZE_MAX - kAlignment)
                throw std::bad_alloc();
            _block = std::calloc(1, bytes + kAlignment);
            if (!_block)
                throw std::bad_alloc();
            const auto raw = reinterpret_cast<std::uintptr_t>(_block);
            _data = reinterpret_cast<T*>((raw + kAlignment - 1) & ~static_cast<std::uintptr_t>(kAlignment - 1));
            _len = size;
            detail::dynArrayAllocations().fetch_add(1, std::memory_order_relaxed);
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

    // Arrays allocated so far by this process (all element types): lets a test prove that a
    // call allocates nothing, since calloc is not seen by a counting operator new.
    static long allocationCount() { return detail::dynArrayAllocations().load(std::memory_order_relaxed); }
    T* data() { return _data; }
    const T* data() const { return _data; }

private:
    void release()
    {
        std::free(_block);
        _block = nullptr;
        _data = nullptr;
        _len = 0;
    }

    void* _block = nullptr;  // what calloc gave; _data is its first 64-byte boundary
    T* _data = nullptr;
    long _len = 0;
};

}  // namespace qmx
