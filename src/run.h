// The run sequence: from the command line to the converted file, the log, the strings
// report and the pause.
#pragma once

#include "container.h"

#include <cstdint>
#include <string>
#include <vector>

// The result of converting an input held in memory: the output file's bytes, the
// log's text and the strings report, or why the input was refused. The same reader and
// writer as for files, over a source and sinks in memory.
struct Conversion {
    LoadStatus status = LoadStatus::Rejected;
    FaultInfo fault;
    std::vector<uint8_t> output;
    std::string log;
    std::string report;
};

Conversion convertBytes(const uint8_t* data, size_t size);

// The input path with "_Sc2" inserted before its last '.', or appended when it has none.
std::string outputNameFor(const std::string& input);

// The whole program; returns the exit status.
int runTool(int argc, const char* const* argv);
