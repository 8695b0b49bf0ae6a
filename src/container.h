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

// Loaded: the header and the whole index passed every check. Rejected: `fault` says
// why not. Unreadable: the source could not be read (its error says why).
enum class LoadStatus { Loaded, Rejected, Unreadable };

// Reads and checks the header and the whole index, the index a chunk at a time. The
// entries get room as they are read, never for all the header claims at once, and
// nothing of the source beyond the header and the index is read.
LoadStatus loadBlockSet(Source& source, BlockSet& set, FaultInfo& fault);

// Lays the block set out anew, reading the blocks from the source as it reaches them:
// each block as the downgrade rules emit it, 0xAA up to the next multiple of 16, offsets
// corrected, the index last and its position patched into the header. Each block is
// logged to `log` when one is given, and the strings report is composed in `report`.
// Stops where the source fails.
void writeBlockSet(BlockSet& set, Source& in, Sink& out, Sink* log, std::string& report);
