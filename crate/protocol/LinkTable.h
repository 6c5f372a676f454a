#pragma once
// The library-side table of open connections behind the caller's records.
//
// A caller's record (QmxCrateConnection, Qmx58Handle) holds only an id and a check value.
// The id names a slot and that slot's generation; the check value is the id mixed with a
// per-process salt. A record that is all zero, never initialised, copied from a closed
// handle or overwritten with garbage therefore finds no entry and counts as closed: it
// can never reach a freed or foreign connection.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace qmx {

template <class T, std::size_t N = 64>
class LinkTable {
public:
    LinkTable() {
        const auto now = static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        salt_ = static_cast<uint32_t>(mix(now ^ reinterpret_cast<uintptr_t>(this))) | 1u;
    }

    // Stores obj; false when every slot is taken.
    bool add(std::shared_ptr<T> obj, uint32_t& id, uint32_t& check) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < N; ++i) {
            if (slots_[i].obj) continue;
            Slot& s = slots_[i];
            s.generation = static_cast<uint16_t>(s.generation + 1);
            if (s.generation == 0) s.generation = 1;
            s.obj = std::move(obj);
            id = static_cast<uint32_t>(i + 1) | static_cast<uint32_t>(s.generation) << 16;
            check = checkOf(id);
            return true;
        }
        return false;
    }

    std::shared_ptr<T> find(uint32_t id, uint32_t check) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* s = locate(id, check);
        return s ? s->obj : nullptr;
    }

    // Takes the entry out of the table; the caller releases it.
    std::shared_ptr<T> remove(uint32_t id, uint32_t check) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* s = locate(id, check);
        return s ? std::move(s->obj) : nullptr;
    }

private:
    struct Slot {
        std::shared_ptr<T> obj;
        uint16_t generation = 0;
    };
    static uint64_t mix(uint64_t x) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        x *= 0xc4ceb9fe1a85ec53ULL;
        x ^= x >> 33;
        return x;
    }
    uint32_t checkOf(uint32_t id) const { return static_cast<uint32_t>(mix(id ^ uint64_t(salt_) << 32)) | 1u; }
    Slot* locate(uint32_t id, uint32_t check) {
        const uint32_t index = id & 0xFFFFu;
        if (index == 0 || index > N || check != checkOf(id)) return nullptr;
        Slot& s = slots_[index - 1];
        if (!s.obj || s.generation != (id >> 16)) return nullptr;
        return &s;
    }

    std::mutex mutex_;
    std::array<Slot, N> slots_{};
    uint32_t salt_ = 1;
};

}  // namespace qmx
