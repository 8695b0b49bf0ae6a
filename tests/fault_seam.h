// The tests' side of the seam under the platform's calls to the system.
#pragma once

// Every later call named `call` fails with `error` (0 to stop), as on a file system
// that lacks what the call does.
void failEveryCall(const char* call, int error);
