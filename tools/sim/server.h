// The serving loop: reads what the tool sends, byte by byte, and answers as
// the printer model says, logging every request, control byte and answer.
#pragma once

#include "sim/line.h"
#include "sim/printer.h"

namespace vexolant::sim {

struct Session {
  Line line;
  Printer printer;
  Log log;
  int exchanges = 0;  // requests to serve before ending; 0: serve until stopped
  int stopFd = -1;    // becomes readable when the printer is to stop
};

// Serves until stopFd becomes readable, the line is closed by a hang-up
// answer, or, after the last exchange, the tool has closed its end. Returns
// the exit status: 0 for these endings, 1 when the line fails.
int Serve(Session& session);

}  // namespace vexolant::sim
