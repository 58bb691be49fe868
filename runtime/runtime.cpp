#include "runtime/runtime.h"

namespace rt {

const char* const kNames[kNameCount] = {
#define RT_NAME_TEXT(n, ...) #n,
    LUMEN_NAMES(RT_NAME_TEXT)
#undef RT_NAME_TEXT
};

void* table[kTableSize] = {};
LumenAllocMemFn allocMemCell = nullptr;
LumenFreeMemFn freeMemCell = nullptr;

void setEntry(Name n, void* e) {
    if (n == Name::AllocMem) {
        allocMemCell = reinterpret_cast<LumenAllocMemFn>(e);
    } else if (n == Name::FreeMem) {
        freeMemCell = reinterpret_cast<LumenFreeMemFn>(e);
    } else {
        table[tableIndex(n)] = e;
    }
}

void* entry(Name n) {
    if (n == Name::AllocMem) return reinterpret_cast<void*>(allocMemCell);
    if (n == Name::FreeMem) return reinterpret_cast<void*>(freeMemCell);
    return table[tableIndex(n)];
}

void clearEntries() {
    for (void*& cell : table) cell = nullptr;
    allocMemCell = nullptr;
    freeMemCell = nullptr;
}

}  // namespace rt
