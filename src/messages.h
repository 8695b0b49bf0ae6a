// Every line the program prints, worded here: the usage text, a refused input's reason,
// and what a run could not do.
#pragma once

#include "commit.h"
#include "container.h"

#include <string>

// The words for an error: the program's own, or the system's.
std::string errorText(int error);
// The line for what a run could not do: "Cannot <verb> "<path>": <reason>" for a file
// that could not be used, or what was left as it could not be otherwise.
std::string describe(const Failure& failure);
// The second line printed for a rejected input, naming the numbers involved; empty
// for a wrong magic, which is reported by the first line alone.
std::string describeFault(const FaultInfo& fault);
// "This is not a valid M3 file.", and for every fault but a wrong magic a second line
// naming the numbers involved.
std::string rejection(const FaultInfo& fault);
// The two lines of the usage text.
std::string usageText();
// The line for a second file named on the command line, which is not converted.
std::string notConverted(const std::string& path);
