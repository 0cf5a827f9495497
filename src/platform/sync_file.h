// Makes what was written to a file durable before the printer is told that
// it was received.
#pragma once

#include <cstdio>

namespace vexolant {

// Pushes the file's written data to the disk (after fflush); 0 or the OS error.
int SyncFile(FILE* file);

}  // namespace vexolant
