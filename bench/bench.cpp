// Times whole runs of "Tarvelin <input> -c" against a plain copy of the same file
// ("cp"), alternating them in the same run, and reports the medians, their ratio and
// the converter's peak resident memory. Given a second program (an earlier version), it
// is timed in the same rounds, so that the two are compared on the same machine state.
//
//   tarvelin_bench <path to Tarvelin> [work directory] [runs] [other Tarvelin]
#include "format.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Shape {
    const char* name;
    int bigBlocks; // sets of a MODL 28, a LAYR 26 and a copied block of bigKiB each
    uint32_t bigKiB;
    int smallBlocks; // small blocks of every kind
};

// Streams a model to disk block by block, so that no input is ever held whole.
struct Writer {
    FILE* file = nullptr;
    uint64_t position = 0;
    std::vector<IndexEntry> index;
};

void put(Writer& w, const void* data, size_t size) {
    if (std::fwrite(data, 1, size, w.file) != size) {
        std::perror("bench: write");
        std::exit(1);
    }
    w.position += size;
}

void putBlock(Writer& w, uint32_t tag, uint32_t version, uint32_t count, uint32_t stride) {
    w.index.push_back({tag, uint32_t(w.position), count, version});
    std::vector<uint8_t> chunk(size_t(stride) * 1024);
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = uint8_t(i * 7 + tag);
    }
    uint64_t left = uint64_t(count) * stride;
    while (left > 0) {
        const size_t n = size_t(std::min<uint64_t>(left, chunk.size()));
        put(w, chunk.data(), n);
        left -= n;
    }
    const uint64_t pad = alignUp(w.position) - w.position;
    put(w, PADDING, size_t(pad));
}

void generate(const std::string& path, const Shape& shape) {
    Writer w;
    w.file = std::fopen(path.c_str(), "wb");
    if (!w.file) {
        std::perror("bench: create input");
        std::exit(1);
    }
    uint8_t header[32] = {};
    w.index.push_back({TAG_MD34, 0, 1, 11});
    put(w, header, sizeof header);
    for (int b = 0; b < shape.bigBlocks; ++b) {
        const uint32_t bytes = shape.bigKiB << 10;
        putBlock(w, TAG_MODL, 28, bytes / 844, 844);
        putBlock(w, TAG_LAYR, 26, bytes / 464, 464);
        putBlock(w, makeTag('V', 'E', 'R', 'T'), 1, bytes, 1);
    }
    // Small blocks of every kind; a model of many entries has only the smallest.
    const bool many = shape.smallBlocks >= 100000;
    const uint32_t kinds[][4] = {
        {TAG_CHAR, 0, 1, 12}, {TAG_REGN, 4, 1, 40}, {TAG_FOR_, 2, 1, 4},
        {TAG_PHCL, 1, 1, 8},  {TAG_U16_, 0, 1, 2},  {TAG_LAYR, 26, 3, 464},
    };
    for (int s = 0; s < shape.smallBlocks; ++s) {
        const uint32_t* kind = kinds[s % 6];
        if (many && s % 6 == 5) {
            putBlock(w, makeTag('S', 'E', 'Q', 'S'), 1, 1, 16);
        } else {
            putBlock(w, kind[0], kind[1], kind[2], kind[3]);
        }
    }
    const uint32_t indexOffset = uint32_t(w.position);
    for (const IndexEntry& e : w.index) {
        uint8_t raw[16];
        storeLe32(raw, e.tag);
        storeLe32(raw + 4, e.offset);
        storeLe32(raw + 8, e.count);
        storeLe32(raw + 12, e.version);
        put(w, raw, sizeof raw);
    }
    uint8_t fields[8];
    storeLe32(fields, indexOffset);
    storeLe32(fields + 4, uint32_t(w.index.size()));
    std::fseek(w.file, 0, SEEK_SET);
    std::fwrite("43DM", 1, 4, w.file);
    std::fwrite(fields, 1, 8, w.file);
    if (std::fclose(w.file) != 0) {
        std::perror("bench: close input");
        std::exit(1);
    }
}

struct Timing {
    double seconds;
    long peakKiB;
};

Timing timeChild(const std::vector<std::string>& args, const std::string& cwd) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? uint64_t(info.st_size) : 0;
}

// The medians of one shape: the copy's, and each program's with its peak memory.
struct Measured {
    double copy;
    std::vector<double> converter;
    std::vector<long> peakKiB;
};

Measured measure(const std::vector<std::string>& tools, const std::string& dir,
                 const std::string& name, int runs) {
    const std::string input = dir + "/" + name + ".m3";
    const std::string output = dir + "/" + name + "_Sc2.m3";
    const std::string copied = dir + "/" + name + ".copy";
    const std::string log = dir + "/Logfile.txt";
    // Every run writes new files, as the copy does: nothing it replaces is freed on its time.
    const auto clear = [&] {
        unlink(output.c_str());
        unlink(log.c_str());
        unlink(copied.c_str());
    };
    std::vector<std::vector<double>> times(tools.size() + 1);
    Measured m = {0, std::vector<double>(tools.size()), std::vector<long>(tools.size())};
    for (int run = -1; run < runs; ++run) { // run -1 warms the caches
        for (size_t t = 0; t <= tools.size(); ++t) {
            clear();
            const Timing timing = t == tools.size() ? timeChild({"cp", input, copied}, dir)
                                                    : timeChild({tools[t], input, "-c"}, dir);
            if (run >= 0) {
                times[t].push_back(timing.seconds);
            }
            if (run >= 0 && t < tools.size()) {
                m.peakKiB[t] = std::max(m.peakKiB[t], timing.peakKiB);
            }
        }
    }
    clear();
    m.copy = median(times[tools.size()]);
    std::printf("%-13s %7.1f %8.4f", name.c_str(), double(fileSize(input)) / (1 << 20), m.copy);
    for (size_t t = 0; t < tools.size(); ++t) {
        m.converter[t] = median(times[t]);
        std::printf(" | %8.4f %6.2f %8.1f", m.converter[t], m.converter[t] / m.copy,
                    double(m.peakKiB[t]) / 1024);
    }
    std::printf("\n");
    std::fflush(stdout);
    return m;
}

} // namespace

std::string absolute(const char* path) {
    return path[0] == '/' ? path : std::string(getcwd(nullptr, 0)) + "/" + path;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: tarvelin_bench <path to Tarvelin> [work directory] [runs] "
                   "[other Tarvelin]\n",
                   stdout);
        return 2;
    }
    std::vector<std::string> tools = {absolute(argv[1])};
    const std::string dir = argc > 2 ? argv[2] : "/tmp/tarvelin-bench";
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    if (argc > 4) {
        tools.push_back(absolute(argv[4]));
    }
    mkdir(dir.c_str(), 0755);
    const Shape shapes[] = {
        {"large", 5, 64 << 10, 100},   {"large-half", 5, 32 << 10, 50},
        {"many", 0, 0, 1000000},       {"many-half", 0, 0, 500000},
        {"typical", 1, 1 << 10, 2000}, {"typical-half", 1, 1 << 9, 1000},
    };
    // The inputs are made by a child, so that the parent whose children are measured
    // stays small.
    const pid_t child = fork();
    if (child == 0) {
        for (const Shape& s : shapes) {
            generate(dir + "/" + s.name + ".m3", s);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return 1;
    }
    std::printf("%-13s %7s %8s", "input", "MiB", "cp s");
    for (size_t t = 0; t < tools.size(); ++t) {
        std::printf(" | %8s %6s %8s", t == 0 ? "this s" : "other s", "ratio", "peak MiB");
    }
    std::printf("\n");
    std::vector<Measured> results;
    for (const Shape& s : shapes) {
        results.push_back(measure(tools, dir, s.name, runs));
    }
    for (size_t i = 0; i + 1 < results.size(); i += 2) {
        std::printf("%s: doubling the input multiplies the time by %.2f (cp %.2f)\n",
                    shapes[i].name, results[i].converter[0] / results[i + 1].converter[0],
                    results[i].copy / results[i + 1].copy);
    }
    return 0;
}
