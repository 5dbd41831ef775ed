// Zero-filled allocation and its release.
#include "common/memory.h"

#include <cstdlib>
#include <cstring>

void* AllocZeroed(int32_t size) {
    if (size < 0) {
        return nullptr;
    }
    void* block = std::malloc(static_cast<size_t>(size));
    if (block != nullptr && size > 0) {
        std::memset(block, 0, static_cast<size_t>(size));
    }
    return block;
}

int16_t FreeBlock(void* block) {
    std::free(block);
    return 0;
}
