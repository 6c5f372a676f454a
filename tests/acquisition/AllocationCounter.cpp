// Counting allocator: every global operator new of this test binary goes through here, so a
// test can prove that a call allocates nothing.

#include "AllocationCounter.h"

#include "DynArray.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocations{0};

void* countedAlloc(std::size_t n, std::size_t align)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (n == 0)
        n = 1;
    void* p = align > alignof(std::max_align_t)
                  ? std::aligned_alloc(align, (n + align - 1) / align * align)
                  : std::malloc(n);
    if (!p)
        throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(std::size_t n) { return countedAlloc(n, 0); }
void* operator new[](std::size_t n) { return countedAlloc(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return countedAlloc(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return countedAlloc(n, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

long qmxtest::allocationCount() { return g_allocations.load() + qmx::DynArray<char>::allocationCount(); }
