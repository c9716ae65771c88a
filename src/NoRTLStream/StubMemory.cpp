#include "StubMemory.h"

#include <stdlib.h>

void* MemAlloc(int32_t size) {
    void* p = size > 0 ? malloc(static_cast<size_t>(size)) : nullptr;
    if (!p) OutOfMemory();
    return p;
}

void* MemRealloc(void* block, int32_t size) {
    void* p = size > 0 ? realloc(block, static_cast<size_t>(size)) : nullptr;
    if (!p) OutOfMemory();
    return p;
}

void MemFree(void* block) { free(block); }
