// Runs the fuzz target over files named on the command line (or every file of the
// directories named), so the seeds and every input that ever broke it are replayed by
// each build, with or without libFuzzer. Files named after --refused must also be
// refused: an input that once broke the converter and is now accepted fails the run.
#include "run.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void replay(const std::filesystem::path& file, bool mustRefuse, int& count, int& accepted) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // An exact-size heap copy, so that a read past the input's end is caught.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
    ++count;
    if (mustRefuse && convertBytes(copy.data(), copy.size()).status != LoadStatus::Rejected) {
        std::printf("accepted, but must be refused: %s\n", file.string().c_str());
        ++accepted;
    }
}

} // namespace

int main(int argc, char** argv) {
    int count = 0;
    int accepted = 0;
    bool mustRefuse = false;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        if (path == "--refused") {
            mustRefuse = true;
        } else if (std::filesystem::is_directory(path)) {
            for (const auto& item : std::filesystem::directory_iterator(path)) {
                replay(item.path(), mustRefuse, count, accepted);
            }
        } else {
            replay(path, mustRefuse, count, accepted);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 && accepted == 0 ? 0 : 1;
}
