#include "app/dispatcher.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

int main(int argc, char** argv) {
#ifdef __linux__
  // The pauses and read waits of an exchange end within microseconds of
  // their time instead of up to the default 50 us timer slack later.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  return vexolant::RunTool(argc, argv);
}
