// The M3 container: the checked reader and the realigning writer.
#pragma once

#include "format.h"
#include "sink.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Everything that makes an input unusable. Each has its own reason line.
enum class Fault {
    None,
    WrongMagic,
    TruncatedHeader,
    NoBlocks,
    IndexPastEnd,
    FirstNotAtZero,
    FirstShorterThanHeader,
    OffsetBeforePrevious,
    LastBeyondIndex,
    ElementsPastBlock,
    FirstBlockEmpty,
    OutputTooLarge,
};

// A fault and the numbers its message names; each fault fills the fields it uses.
struct FaultInfo {
    Fault fault = Fault::None;
    uint64_t entry = 0; // the index entry at fault, and that entry as read
    IndexEntry item;
    uint64_t fileSize = 0;
    uint64_t indexOffset = 0;
    uint64_t indexEnd = 0;
    uint64_t previousOffset = 0;
    uint64_t blockSize = 0;
    uint64_t stride = 0;     // the element size of the block's rewrite
    uint64_t neededSize = 0; // count times stride
    uint64_t outputSize = 0;
};

// The input's bytes, all in memory (where they came from is the platform's concern).
struct Source {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
};

enum class LoadStatus { Loaded, Rejected };

// Copies `size` bytes at `offset` of the source into dest; false if they are not all
// inside it.
bool readBuffer(const Source& source, uint64_t offset, uint64_t size, uint8_t* dest);

// Checks the header and the whole index, reading the index a chunk at a time, and
// takes the blocks in place in the source. The entries get room as they are read,
// never for all the header claims at once, and nothing of the source beyond the
// header and the index is read until the index has passed every check.
LoadStatus loadBlockSet(const Source& source, BlockSet& set, FaultInfo& fault);

// Lays the block set out anew: each block as the downgrade rules emit it, 0xAA up to the
// next multiple of 16, offsets corrected, the index last and its position patched into
// the header. Each block is logged to `log` when one is given.
void writeBlockSet(BlockSet& set, Sink& out, Sink* log);
