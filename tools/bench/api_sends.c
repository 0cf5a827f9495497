/* Sends one command many times over one handle of the shared library and
 * prints the wall time of the whole loop, so that the benchmark can set it
 * against the protocol's floor (10 ms pause and 50 ms read gap per command).
 * Usage: vexolant-api-sends PORT [COUNT [TEXT]] */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "vexolant/vexolant.h"

static double NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PORT [COUNT [TEXT]]\n", argv[0]);
    return 2;
  }
  const int count = argc > 2 ? atoi(argv[2]) : 200;
  const char* text = argc > 3 ? argv[3] : "abc";
  vexolant_port* port = NULL;
  const double opened = NowMs();
  const int32_t failure = vexolant_open_wait(argv[1], 0, &port);
  if (failure != 0) {
    fprintf(stderr, "cannot open %s: error %d\n", argv[1], (int)failure);
    return 1;
  }
  const double start = NowMs();
  int accepted = 0;
  for (int i = 0; i < count; ++i) {
    int32_t status = 0;
    int32_t error = 0;
    accepted += vexolant_send(port, text, &status, &error) == 1;
  }
  const double end = NowMs();
  vexolant_close(port);
  printf("sends=%d accepted=%d open_ms=%.3f loop_ms=%.3f\n", count, accepted, start - opened,
         end - start);
  return accepted == count ? 0 : 1;
}
