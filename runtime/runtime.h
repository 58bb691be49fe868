// The runtime library's entry points as the program holds them: AllocMem and FreeMem in two
// cells of their own, the other names in one table in binding order (LUMEN_OPERATIONS).
#pragma once

#include <cstdint>

#include "lumen/lumen.h"

namespace rt {

// Index of every name in binding order, 0 .. kNameCount - 1.
enum class Name : int {
#define RT_NAME_ENUM(n, ...) n,
    LUMEN_NAMES(RT_NAME_ENUM)
#undef RT_NAME_ENUM
};
constexpr int kNameCount = lumen::kNameCount;

// The names, NUL-terminated ASCII, in binding order.
extern const char* const kNames[kNameCount];

// Binding-order index -> table index; -1 for AllocMem and FreeMem, which have their own cells.
constexpr int tableIndex(Name n) {
    const int i = static_cast<int>(n);
    if (n == Name::AllocMem || n == Name::FreeMem) return -1;
    return i - (i > static_cast<int>(Name::AllocMem)) - (i > static_cast<int>(Name::FreeMem));
}
constexpr int kTableSize = kNameCount - 2;

// Entry points, null until bound.
extern void* table[kTableSize];
extern LumenAllocMemFn allocMemCell;
extern LumenFreeMemFn freeMemCell;

// Stores an entry point in the cell of name `n` (AllocMem and FreeMem go to their own cells).
void setEntry(Name n, void* entry);
// The entry point bound to name `n`, or null.
void* entry(Name n);
// Sets every cell back to null.
void clearEntries();

// The entry point of name `n` in its calling form `Fn`, from its cell.
template <class Fn>
inline Fn op(Name n) {
    if (n == Name::AllocMem) return reinterpret_cast<Fn>(reinterpret_cast<void*>(allocMemCell));
    if (n == Name::FreeMem) return reinterpret_cast<Fn>(reinterpret_cast<void*>(freeMemCell));
    return reinterpret_cast<Fn>(table[tableIndex(n)]);
}

}  // namespace rt
