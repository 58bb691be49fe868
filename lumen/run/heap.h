// Lumen's tracked heap: the blocks of AllocMem, each named by its number in allocation order
// (1, 2, ...). Every block is zeroed and 16-byte aligned. Freeing checks the address against
// the live blocks, so a bad or repeated free is reported instead of corrupting anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace lumen {

class Heap {
public:
    // Largest block ever attempted: anything above is out of memory without asking the system.
    static constexpr uint64_t kMaxBlock = uint64_t{1} << 40;  // bytes

    enum class Release {
        Freed,         // the block was live and is now freed
        AlreadyFreed,  // the address was a block that is already freed (`id` names it)
        Unknown,       // the address was never given out (or is inside a block)
    };

    Heap() = default;
    ~Heap();  // gives every live block back to the system
    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;

    // A zeroed, 16-byte aligned block of `bytes` (>= 0; 0 gives a distinct block) and its
    // number in `id`; null if the memory cannot be had (above kMaxBlock or the limit too).
    void* allocate(uint64_t bytes, uint64_t& id);
    // Frees `block` (not null) if it is live; sets `id` to its number when it was a block.
    Release release(void* block, uint64_t& id);

    // Number of `block` if it is live, else 0.
    uint64_t idOf(const void* block) const;
    uint64_t liveBlocks() const { return live_.size(); }
    uint64_t liveBytes() const { return liveBytes_; }
    uint64_t allocated() const { return nextId_ - 1; }  // blocks ever given out

    // Live bytes beyond which allocate() fails; 0 is no limit (the default).
    void setLimit(uint64_t bytes) { limit_ = bytes; }

private:
    struct Entry {
        uint64_t id;
        uint64_t bytes;
        void* base;  // what the system gave (the block itself unless it had to be realigned)
    };
    std::unordered_map<const void*, Entry> live_;
    std::unordered_map<const void*, uint64_t> freed_;  // address -> number, until reused
    uint64_t nextId_ = 1;
    uint64_t liveBytes_ = 0;
    uint64_t limit_ = 0;
};

}  // namespace lumen
