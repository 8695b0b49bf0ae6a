#include "container.h"

#include "downgrade.h"
#include "report.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t MAX_OFFSET = std::numeric_limits<uint32_t>::max();
// Entries read and checked at a time: 1 MiB of index.
constexpr uint64_t INDEX_CHUNK = 65536;

FaultInfo faultAt(Fault fault, uint64_t entry, const IndexEntry& item) {
    FaultInfo info;
    info.fault = fault;
    info.entry = entry;
    info.item = item;
    return info;
}

FaultInfo faultOf(Fault fault) {
    return faultAt(fault, 0, IndexEntry{});
}

FaultInfo checkHeader(const uint8_t* head, uint64_t fileSize, M3Header& header) {
    header.magic = loadLe32(head);
    if (header.magic != TAG_MD34) {
        return faultOf(Fault::WrongMagic);
    }
    if (fileSize < HEADER_SIZE) {
        FaultInfo info = faultOf(Fault::TruncatedHeader);
        info.fileSize = fileSize;
        return info;
    }
    header.indexOffset = loadLe32(head + 4);
    header.indexCount = loadLe32(head + 8);
    if (header.indexCount == 0) {
        return faultOf(Fault::NoBlocks);
    }
    const uint64_t indexEnd =
        uint64_t(header.indexOffset) + uint64_t(ENTRY_SIZE) * header.indexCount;
    if (indexEnd > fileSize) {
        FaultInfo info = faultOf(Fault::IndexPastEnd);
        info.indexOffset = header.indexOffset;
        info.indexEnd = indexEnd;
        info.fileSize = fileSize;
        return info;
    }
    return faultOf(Fault::None);
}

// Checks one entry's place and rule, and gives its span and the bytes it will take in
// the output, alignment included. `next` is the entry after it, or nullptr for the last.
FaultInfo checkEntry(const BlockSet& set, size_t i, const IndexEntry* next, uint32_t& span,
                     uint64_t& outputLength) {
    const IndexEntry& e = set.entries[i];
    const uint32_t end = next ? next->offset : set.indexOffset;
    if (i == 0 && e.offset != 0) {
        return faultAt(Fault::FirstNotAtZero, i, e);
    }
    if (end < e.offset) {
        if (next) {
            FaultInfo info = faultAt(Fault::OffsetBeforePrevious, i + 1, *next);
            info.previousOffset = e.offset;
            return info;
        }
        FaultInfo info = faultAt(Fault::LastBeyondIndex, i, e);
        info.indexOffset = set.indexOffset;
        return info;
    }
    span = end - e.offset;
    if (i == 0 && span < HEADER_SIZE) {
        FaultInfo info = faultAt(Fault::FirstShorterThanHeader, i, e);
        info.blockSize = span;
        return info;
    }
    const Decision decision = decideBlock(e.tag, e.version);
    if (decision.rewrite) {
        const uint64_t needed = uint64_t(e.count) * decision.rewrite->inputStride;
        if (needed > span) {
            FaultInfo info = faultAt(Fault::ElementsPastBlock, i, e);
            info.stride = decision.rewrite->inputStride;
            info.neededSize = needed;
            info.blockSize = span;
            return info;
        }
        if (i == 0 && e.count == 0) {
            return faultAt(Fault::FirstBlockEmpty, i, e);
        }
    }
    outputLength = alignUp(emittedSize(decision, e.count, span));
    return faultOf(Fault::None);
}

// Checks the entries read so far whose successor is known (all of them once the last
// is read), adding their spans to `set.sizes` and their output lengths to `outputEnd`.
FaultInfo checkEntries(BlockSet& set, uint32_t indexCount, uint64_t& outputEnd) {
    const size_t read = set.entries.size();
    const size_t known = read == indexCount ? read : read - 1;
    for (size_t i = set.sizes.size(); i < known; ++i) {
        uint32_t span = 0;
        uint64_t length = 0;
        const IndexEntry* next = i + 1 < read ? &set.entries[i + 1] : nullptr;
        const FaultInfo info = checkEntry(set, i, next, span, length);
        if (info.fault != Fault::None) {
            return info;
        }
        set.sizes.push_back(span);
        outputEnd += length;
    }
    return faultOf(Fault::None);
}

// Room for the entries read so far and the next chunk, and their sizes, grown
// sixteenfold at a time: never more than sixteen times what has been read, and for an
// index of a million entries a single move, of the first chunk.
void makeRoomForEntries(BlockSet& set, uint32_t indexCount, uint64_t alreadyRead, uint64_t next) {
    const uint64_t needed = alreadyRead + next;
    if (needed <= set.entries.capacity()) {
        return;
    }
    const uint64_t room = std::min<uint64_t>(indexCount, std::max(needed, alreadyRead * 16));
    set.entries.reserve(size_t(room));
    set.sizes.reserve(size_t(room));
}

// The index was read byte for byte into the entries; on a big-endian host each field
// is turned round.
void decodeEntries(IndexEntry* entries, size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    (void)entries;
    (void)count;
#else
    for (IndexEntry* e = entries; e != entries + count; ++e) {
        uint8_t raw[ENTRY_SIZE];
        std::memcpy(raw, e, sizeof raw);
        e->tag = loadLe32(raw);
        e->offset = loadLe32(raw + 4);
        e->count = loadLe32(raw + 8);
        e->version = loadLe32(raw + 12);
    }
#endif
}

} // namespace

LoadStatus loadBlockSet(Source& source, BlockSet& set, FaultInfo& fault) {
    uint8_t head[HEADER_SIZE] = {};
    if (!readBuffer(source, 0, std::min<uint64_t>(source.size, HEADER_SIZE), head)) {
        return LoadStatus::Unreadable;
    }
    M3Header header;
    fault = checkHeader(head, source.size, header);
    if (fault.fault != Fault::None) {
        return LoadStatus::Rejected;
    }
    set.indexOffset = header.indexOffset;
    // The index is read and checked a chunk at a time: an index that is wrong early is
    // refused without reading, or making room for, what its header claims.
    uint64_t outputEnd = 0;
    for (uint64_t first = 0; first < header.indexCount; first += INDEX_CHUNK) {
        const uint64_t count = std::min<uint64_t>(INDEX_CHUNK, header.indexCount - first);
        makeRoomForEntries(set, header.indexCount, first, count);
        set.entries.resize(size_t(first + count));
        // The header's check has put the whole index inside the source.
        if (!readBuffer(source, header.indexOffset + first * ENTRY_SIZE, count * ENTRY_SIZE,
                        reinterpret_cast<uint8_t*>(set.entries.data() + first))) {
            return LoadStatus::Unreadable;
        }
        decodeEntries(set.entries.data() + first, size_t(count));
        fault = checkEntries(set, header.indexCount, outputEnd);
        if (fault.fault != Fault::None) {
            return LoadStatus::Rejected;
        }
    }
    // The index is written where the blocks end; its offset must fit the header field.
    if (outputEnd > MAX_OFFSET) {
        fault = faultOf(Fault::OutputTooLarge);
        fault.outputSize = outputEnd;
        return LoadStatus::Rejected;
    }
    return LoadStatus::Loaded;
}

static_assert(sizeof(IndexEntry) == ENTRY_SIZE, "the index is read straight into its entries");

void writeBlockSet(BlockSet& set, Source& in, Sink& out, Sink* log, std::string& report) {
    report = REPORT_HEADING;
    int64_t shift = 0;
    uint64_t inputOffset = 0;
    for (size_t i = 0; i < set.entries.size() && in.error == 0; ++i) {
        IndexEntry& entry = set.entries[i];
        const Block block = {inputOffset, set.sizes[i]};
        inputOffset += block.size;
        if (entry.tag == TAG_CHAR) {
            reportString(report, in, block);
        }
        const uint64_t start = sinkPosition(out);
        entry.offset = uint32_t(int64_t(entry.offset) + shift);
        emitBlock(out, in, entry, block);
        const uint64_t written = sinkPosition(out) - start;
        const uint64_t aligned = alignUp(written);
        sinkWrite(out, PADDING, size_t(aligned - written));
        shift += int64_t(aligned) - int64_t(block.size);
        if (log) {
            writeLogEntry(*log, entry, written);
        }
    }
    const uint64_t indexPosition = sinkPosition(out);
    sinkPatch32(out, INDEX_OFFSET_FIELD, uint32_t(indexPosition));
    for (const IndexEntry& entry : set.entries) {
        uint8_t* at = sinkReserve(out, ENTRY_SIZE);
        storeLe32(at, entry.tag);
        storeLe32(at + 4, entry.offset);
        storeLe32(at + 8, entry.count);
        storeLe32(at + 12, entry.version);
    }
}
