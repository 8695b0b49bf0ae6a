// The downgrade rules: which blocks are rewritten into lower structure versions,
// which are retagged, and how each element is rewritten.
#pragma once

#include "format.h"
#include "sink.h"

#include <cstdint>

struct ByteRange {
    uint32_t begin;
    uint32_t end;
};

// One element rewrite: the kept ranges of each input element in order, then
// `zeroTail` zero bytes. `marks96` sets element byte 96 to 0x7D first.
struct Rewrite {
    uint32_t inputStride;
    uint32_t outputStride;
    uint32_t newVersion;
    ByteRange ranges[3];
    uint32_t rangeCount;
    uint32_t zeroTail;
    bool marks96;
};

extern const Rewrite M29;
extern const Rewrite M28;
extern const Rewrite M26;
extern const Rewrite R9;
extern const Rewrite R26;
extern const Rewrite R24;
extern const Rewrite R4;

// What happens to one block: the rewrite to apply (none means copy the whole span)
// and the tag and version its entry gets.
struct Decision {
    const Rewrite* rewrite;
    uint32_t tag;
    uint32_t version;
};

Decision decideBlock(uint32_t tag, uint32_t version);

// Bytes the block gives before alignment.
uint64_t emittedSize(const Decision& decision, uint32_t count, uint32_t span);

// Writes `count` elements from `offset` of the input, each rewritten.
void emitElements(Sink& out, Source& in, const Rewrite& rewrite, uint64_t offset, uint32_t count);

// Writes the block, read from `in`, as its rule says and sets the entry's tag and version.
void emitBlock(Sink& out, Source& in, IndexEntry& entry, const Block& block);
