// Heap blocks for the launcher's own types.  Allocation failures never reach
// the callers: they end the process with exit code 203, the code the runtime
// gives for memory exhaustion, without a launcher message.
#pragma once
#include <stdint.h>

// Each build links its own definition: the stub ends the process, the tests
// and fuzzers record the exit.
[[noreturn]] void OutOfMemory();

constexpr uint32_t kOutOfMemoryExitCode = 203;

// size must be positive.  Never returns null.
void* MemAlloc(int32_t size);
// Resizes block (which may be null) to size > 0 bytes, keeping the leading
// bytes.  Never returns null.
void* MemRealloc(void* block, int32_t size);
void MemFree(void* block);
