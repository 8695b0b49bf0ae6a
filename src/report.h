// The conversion log ("Logfile.txt") and the strings report on the console.
#pragma once

#include "format.h"
#include "sink.h"

#include <cstdint>

constexpr const char* LOG_NAME = "Logfile.txt";

// Two lines for one written block: its tag after the rules, and the bytes written
// for it before alignment divided by its element count (0 when it has none).
void writeLogEntry(Sink& log, const IndexEntry& entry, uint64_t written);

// "Strings Found: ", then the first string of every CHAR block, in index order.
void writeStringsReport(const BlockSet& set, Sink& out);
