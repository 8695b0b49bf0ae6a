#include "downgrade.h"

#include <algorithm>
#include <cstring>

const Rewrite M29 = {856, 820, 26, {{0, 420}, {444, 564}, {576, 856}}, 3, 0, true};
const Rewrite M28 = {844, 820, 26, {{0, 420}, {432, 552}, {564, 844}}, 3, 0, true};
const Rewrite M26 = {820, 820, 26, {{0, 820}}, 1, 0, true};
const Rewrite R9 = {760, 756, 8, {{0, 396}, {400, 760}}, 2, 0, false};
const Rewrite R26 = {464, 468, 25, {{0, 464}}, 1, 4, false};
const Rewrite R24 = {1496, 1492, 23, {{0, 400}, {404, 1496}}, 2, 0, false};
const Rewrite R4 = {40, 36, 3, {{0, 36}}, 1, 0, false};

namespace {

constexpr uint32_t MARK_OFFSET = 96;
constexpr uint8_t MARK_VALUE = 0x7D;

Decision take(const Decision& d, const Rewrite& rewrite) {
    return {&rewrite, d.tag, rewrite.newVersion};
}

Decision stageD(const Decision& d) {
    if (d.version == 2) {
        return {nullptr, d.tag, 1};
    }
    return d;
}

Decision stageC(const Decision& d) {
    if (d.version == 24) {
        return take(d, R24);
    }
    if (d.version == 4) {
        return take(d, R4);
    }
    return stageD(d);
}

Decision stageB(const Decision& d) {
    return d.version == 26 ? take(d, R26) : stageC(d);
}

Decision stageA(const Decision& d) {
    return d.version == 9 ? take(d, R9) : stageB(d);
}

void emitElement(Sink& out, const Rewrite& rewrite, const uint8_t* from) {
    uint8_t* const element = sinkReserve(out, rewrite.outputStride);
    uint8_t* to = element;
    for (uint32_t r = 0; r < rewrite.rangeCount; ++r) {
        const ByteRange range = rewrite.ranges[r];
        std::memcpy(to, from + range.begin, range.end - range.begin);
        to += range.end - range.begin;
    }
    std::memset(to, 0, rewrite.zeroTail);
    // Every MODL rewrite keeps element bytes 0 to 99 in place, so byte 96 of the output
    // element is the low byte of the field at input offset 96.
    if (rewrite.marks96) {
        element[MARK_OFFSET] = MARK_VALUE;
    }
}

} // namespace

// Rewrites the elements a window of the input at a time.
void emitElements(Sink& out, Source& in, const Rewrite& rewrite, uint64_t offset, uint32_t count) {
    const uint32_t perWindow = uint32_t(SOURCE_WINDOW / rewrite.inputStride);
    for (uint32_t done = 0; done < count && in.error == 0;) {
        const uint32_t batch = std::min(perWindow, count - done);
        const uint8_t* from = sourceTake(in, offset + uint64_t(done) * rewrite.inputStride,
                                         size_t(batch) * rewrite.inputStride);
        for (uint32_t i = 0; i < batch; ++i, from += rewrite.inputStride) {
            emitElement(out, rewrite, from);
        }
        done += batch;
    }
}

Decision decideBlock(uint32_t tag, uint32_t version) {
    const Decision d = {nullptr, tag, version};
    if (tag == TAG_MODL) {
        if (version == 29) {
            return take(d, M29);
        }
        if (version == 28) {
            return take(d, M28);
        }
        if (version == 26) {
            return take(d, M26);
        }
        return stageA(d);
    }
    if (tag == TAG_RIB_) {
        return stageA(d);
    }
    if (tag == TAG_LAYR) {
        return stageB(d);
    }
    if (tag == TAG_PAR_) {
        return stageC(d);
    }
    if (tag == TAG_REGN) {
        return version == 4 ? take(d, R4) : stageD(d);
    }
    if (tag == TAG_FOR_) {
        return stageD(d);
    }
    if (tag == TAG_PHAC || tag == TAG_PHCC || tag == TAG_PHCL || tag == TAG_U64_) {
        return {nullptr, TAG_U16_, 0};
    }
    return d;
}

uint64_t emittedSize(const Decision& decision, uint32_t count, uint32_t span) {
    return decision.rewrite ? uint64_t(count) * decision.rewrite->outputStride : span;
}

void emitBlock(Sink& out, Source& in, IndexEntry& entry, const Block& block) {
    const Decision decision = decideBlock(entry.tag, entry.version);
    entry.tag = decision.tag;
    entry.version = decision.version;
    if (!decision.rewrite) {
        sinkCopy(out, in, block.offset, block.size);
        return;
    }
    emitElements(out, in, *decision.rewrite, block.offset, entry.count);
}
