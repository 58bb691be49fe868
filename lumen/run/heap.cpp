#include "run/heap.h"

#include <cstdlib>
#include <new>

namespace lumen {

namespace {

constexpr std::size_t kAlign = 16;
// Freed addresses remembered for "already freed" reports; past this the memory is cleared.
constexpr std::size_t kFreedMemory = std::size_t{1} << 20;

bool aligned(const void* p) { return (reinterpret_cast<uintptr_t>(p) & (kAlign - 1)) == 0; }

}  // namespace

Heap::~Heap() {
    for (auto& [block, entry] : live_) std::free(entry.base);
}

void* Heap::allocate(uint64_t bytes, uint64_t& id) {
    if (bytes > kMaxBlock) return nullptr;
    if (limit_ != 0 && (bytes > limit_ || liveBytes_ > limit_ - bytes)) return nullptr;
    const std::size_t size = bytes == 0 ? 1 : static_cast<std::size_t>(bytes);
    void* base = std::calloc(1, size);
    void* block = base;
    if (base != nullptr && !aligned(base)) {
        // Only where malloc aligns to less than 16: take more and step up to the boundary.
        std::free(base);
        base = std::calloc(1, size + kAlign);
        if (base != nullptr)
            block = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(base) + kAlign) &
                                            ~uintptr_t{kAlign - 1});
    }
    if (base == nullptr) return nullptr;
    try {
        live_.emplace(block, Entry{nextId_, bytes, base});
    } catch (const std::bad_alloc&) {
        std::free(base);
        return nullptr;
    }
    freed_.erase(block);
    id = nextId_++;
    liveBytes_ += bytes;
    return block;
}

Heap::Release Heap::release(void* block, uint64_t& id) {
    const auto it = live_.find(block);
    if (it == live_.end()) {
        const auto old = freed_.find(block);
        if (old == freed_.end()) return Release::Unknown;
        id = old->second;
        return Release::AlreadyFreed;
    }
    const Entry entry = it->second;
    live_.erase(it);
    liveBytes_ -= entry.bytes;
    id = entry.id;
    std::free(entry.base);
    try {
        if (freed_.size() >= kFreedMemory) freed_.clear();
        freed_.emplace(block, entry.id);
    } catch (const std::bad_alloc&) {
        // Only the "already freed" wording of a later report is lost.
    }
    return Release::Freed;
}

uint64_t Heap::idOf(const void* block) const {
    const auto it = live_.find(block);
    return it == live_.end() ? 0 : it->second.id;
}

}  // namespace lumen
