// Zero-filled heap blocks for the link buffers and other transfer memory.
#pragma once

#include <cstdint>

// Allocates size bytes from the process heap, all zero; null when the heap cannot supply them or the
// size is negative. A size of 0 returns whatever the heap gives for an empty request.
void* AllocZeroed(int32_t size);
// Returns a block from AllocZeroed to the heap; null is ignored. Always 0.
int16_t FreeBlock(void* block);
