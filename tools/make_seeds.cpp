// Writes the fuzzer's seed files: small valid models that reach every rule, every
// alignment case and the strings report.
#include "format.h"
#include "m3build.h"

#include <cstdio>
#include <string>

namespace {

struct Seed {
    const char* name;
    std::vector<uint8_t> bytes;
};

std::vector<Seed> seeds() {
    const BuildEntry header = headerEntry(24);
    return {
        {"worked.m3", buildM3({header, charEntry("abcd"), elementsEntry(TAG_REGN, 4, 1, 40),
                               BuildEntry{TAG_FOR_, 1, 2, {1, 2, 3}}},
                              1, 12)},
        {"modl.m3",
         buildM3({header, elementsEntry(TAG_MODL, 28, 2, 844), elementsEntry(TAG_MODL, 26, 1, 820),
                  elementsEntry(TAG_MODL, 9, 1, 760)},
                 16, 0, 0xAA)},
        {"layers.m3",
         buildM3({header, elementsEntry(TAG_RIB_, 26, 1, 464), elementsEntry(TAG_LAYR, 26, 2, 464),
                  elementsEntry(TAG_PAR_, 24, 1, 1496), elementsEntry(TAG_LAYR, 4, 1, 40)})},
        {"retag.m3",
         buildM3({header, elementsEntry(TAG_PHAC, 1, 1, 8), elementsEntry(TAG_PHCC, 1, 2, 8),
                  elementsEntry(TAG_PHCL, 3, 1, 12), elementsEntry(TAG_U64_, 0, 1, 8)},
                 4)},
        {"strings.m3", buildM3({header, charEntry("one"), charEntry(""), charEntry("three"),
                                BuildEntry{TAG_CHAR, 4, 0, {'o', 'p', 'e', 'n'}}})},
        {"empty-rewrite.m3",
         buildM3({header, BuildEntry{TAG_LAYR, 0, 26, {}}, BuildEntry{TAG_REGN, 0, 4, {9, 9}}})},
        {"first-rewritten.m3", buildM3({elementsEntry(TAG_REGN, 4, 2, 40), charEntry("x")})},
        {"cloth.m3",
         buildM3({header, elementsEntry(TAG_MODL, 29, 2, 856), elementsEntry(TAG_PHCL, 3, 1, 12),
                  elementsEntry(TAG_PHAC, 2, 1, 8)})},
    };
}

// Malformed files that must be refused cleanly: they are replayed with the inputs the
// fuzzer ever found broken.
std::vector<Seed> malformed() {
    std::vector<uint8_t> lyingCount = buildM3({headerEntry(24), charEntry("x")});
    storeU32(lyingCount, 8, 0xFFFFFFFF);
    std::vector<uint8_t> pastBlock =
        buildM3({headerEntry(24), elementsEntry(TAG_MODL, 28, 1, 844)});
    storeU32(pastBlock, loadU32(pastBlock, 4) + 16 + 8, 2);
    std::vector<uint8_t> backwards = buildM3({headerEntry(24), charEntry("a"), charEntry("b")});
    storeU32(backwards, loadU32(backwards, 4) + 32 + 4, 3);
    return {
        {"lying-count.m3", lyingCount},
        {"elements-past-block.m3", pastBlock},
        {"offsets-backwards.m3", backwards},
        {"short-header.m3", {'4', '3', 'D', 'M', 1, 2, 3}},
    };
}

bool writeAll(const std::string& dir, const std::vector<Seed>& files) {
    for (const Seed& seed : files) {
        if (!writeFileBytes(dir + "/" + seed.name, seed.bytes)) {
            std::printf("make_seeds: cannot write %s\n", seed.name);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make_seeds <seed directory> <malformed directory>\n", stdout);
        return 2;
    }
    return writeAll(argv[1], seeds()) && writeAll(argv[2], malformed()) ? 0 : 1;
}
