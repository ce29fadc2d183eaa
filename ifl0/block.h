// Blocks for whole pictures, shared by the library and the picture model.
#ifndef IFL0_BLOCK_H
#define IFL0_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace ifl0 {

// A block for a whole picture or a pass over one. Blocks of a huge page and
// more are aligned to it and marked for transparent huge pages, so that
// first touching a 20 MP picture costs about 40 page faults instead of
// 20000. Never null for 0 bytes; null when out of memory; released with free.
uint8_t* allocateBlock(size_t bytes);

struct FreeBlock {
    void operator()(void* p) const { free(p); }
};
using BlockPtr = std::unique_ptr<uint8_t[], FreeBlock>;

}  // namespace ifl0

#endif
