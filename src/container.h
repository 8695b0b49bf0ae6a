// The M3 container: format records, the checked reader and the realigning writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// A tag's readable name is its four bytes from the most significant down; stored
// little-endian, the name reads reversed on disk ("LDOM" for MODL).
constexpr uint32_t makeTag(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 |
           uint32_t(uint8_t(d));
}

constexpr uint32_t TAG_MD34 = makeTag('M', 'D', '3', '4');
constexpr uint32_t TAG_MODL = makeTag('M', 'O', 'D', 'L');
constexpr uint32_t TAG_RIB_ = makeTag('R', 'I', 'B', '_');
constexpr uint32_t TAG_LAYR = makeTag('L', 'A', 'Y', 'R');
constexpr uint32_t TAG_PAR_ = makeTag('P', 'A', 'R', '_');
constexpr uint32_t TAG_REGN = makeTag('R', 'E', 'G', 'N');
constexpr uint32_t TAG_FOR_ = makeTag('F', 'O', 'R', '_');
constexpr uint32_t TAG_PHAC = makeTag('P', 'H', 'A', 'C');
constexpr uint32_t TAG_PHCC = makeTag('P', 'H', 'C', 'C');
constexpr uint32_t TAG_PHCL = makeTag('P', 'H', 'C', 'L');
constexpr uint32_t TAG_U64_ = makeTag('U', '6', '4', '_');
constexpr uint32_t TAG_U16_ = makeTag('U', '1', '6', '_');
constexpr uint32_t TAG_CHAR = makeTag('C', 'H', 'A', 'R');

constexpr uint32_t HEADER_SIZE = 24;
constexpr uint32_t ENTRY_SIZE = 16;
constexpr uint32_t ALIGNMENT = 16;
// Where the header keeps the index offset; the writer patches it last.
constexpr uint32_t INDEX_OFFSET_FIELD = 4;

// Alignment bytes are always 0xAA, never zeros.
extern const uint8_t PADDING[ALIGNMENT];

inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct M3Header {
    uint32_t magic = 0;
    uint32_t indexOffset = 0;
    uint32_t indexCount = 0;
    uint8_t rest[12] = {};
};

struct IndexEntry {
    uint32_t tag = 0;
    uint32_t offset = 0;
    uint32_t count = 0;
    uint32_t version = 0;
};

// One entry's byte span of the input: from its offset up to the next entry's offset,
// or up to the index for the last entry, alignment bytes included.
struct Block {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
};

// The whole input in memory. `bytes` holds the input from offset 0 up to the index
// offset, either mapped or read into `storage`; the blocks lie in it back to back,
// each `sizes[i]` bytes long. Entries and sizes are indexed alike; the rules and the
// writer change the entries in place.
struct BlockSet {
    uint32_t indexOffset = 0;
    uint32_t indexCount = 0;
    std::vector<IndexEntry> entries;
    std::vector<uint32_t> sizes;
    std::unique_ptr<uint8_t[]> storage;
    const uint8_t* bytes = nullptr;
};

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

struct FaultInfo {
    Fault fault = Fault::None;
    uint64_t entry = 0;
    IndexEntry item;
    uint64_t a = 0;
    uint64_t b = 0;
    uint64_t c = 0;
};

// The second line printed for a rejected input, naming the numbers involved;
// empty for a wrong magic, which is reported by the first line alone.
std::string describeFault(const FaultInfo& info);

// Where the input bytes come from: a caller's memory, or an open file.
struct Source {
    const uint8_t* memory = nullptr;
    int fd = -1;
    uint64_t size = 0;
    int error = 0;
};

enum class LoadStatus { Loaded, Rejected, ReadFailed };

// Reads `size` bytes at `offset` of the source into dest. Fails on a short read.
bool readBuffer(Source& source, uint64_t offset, uint64_t size, uint8_t* dest);

// Reads and checks the header and the whole index, a chunk at a time, then takes the
// block bytes: in place from memory, mapped from a file, or read from it where it
// cannot be mapped. The entries get room as they are read, never for all the header
// claims at once; nothing is allocated for blocks until the index has passed every
// check.
LoadStatus loadBlockSet(Source& source, BlockSet& set, FaultInfo& fault);

// Output that is either collected in memory (fd < 0) or written to a file through a
// large buffer. The first failed write is remembered in `error` and later writes are
// dropped, so callers check once, at the end.
struct Sink {
    std::unique_ptr<uint8_t[]> buffer;
    size_t used = 0;
    size_t capacity = 0;
    int fd = -1;
    uint64_t flushed = 0;
    int error = 0;
};

// Writes below this size are copied into the buffer while it has room.
constexpr size_t SINK_SMALL_WRITE = 4096;

void sinkWriteSlow(Sink& sink, const void* data, size_t size);
uint8_t* sinkReserveSlow(Sink& sink, size_t size);

inline void sinkWrite(Sink& sink, const void* data, size_t size) {
    if (size < SINK_SMALL_WRITE && size <= sink.capacity - sink.used && sink.capacity != 0) {
        std::memcpy(sink.buffer.get() + sink.used, data, size);
        sink.used += size;
        return;
    }
    sinkWriteSlow(sink, data, size);
}

// Room for `size` bytes at the end of the sink, to be filled by the caller at once.
inline uint8_t* sinkReserve(Sink& sink, size_t size) {
    if (size <= sink.capacity - sink.used && sink.capacity != 0) {
        uint8_t* at = sink.buffer.get() + sink.used;
        sink.used += size;
        return at;
    }
    return sinkReserveSlow(sink, size);
}

// Overwrites four bytes already written, at `position` from the start.
void sinkPatch32(Sink& sink, uint64_t position, uint32_t value);
// Writes out what is buffered; true unless a write has failed.
bool sinkFlush(Sink& sink);
inline uint64_t sinkPosition(const Sink& sink) {
    return sink.flushed + sink.used;
}

inline uint64_t alignUp(uint64_t n) {
    return (n + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
}

// Lays the block set out anew: each block as the downgrade rules emit it, 0xAA up to the
// next multiple of 16, offsets corrected, the index last and its position patched into
// the header. Each block is logged to `log` when one is given.
void writeBlockSet(BlockSet& set, Sink& out, Sink* log);
