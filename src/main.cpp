#include "run.h"

#ifdef _WIN32
// Asks the MinGW start-up code to expand wildcard patterns in the arguments, as the
// Windows runtime this tool is made for does, before main counts them.
int _dowildcard = -1;
#endif

int main(int argc, char** argv) {
    return runTool(argc, argv);
}
