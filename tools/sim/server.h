// The serving loop: reads what the tool sends, byte by byte, and answers as
// the printer model says, logging every request, control byte and answer.
#pragma once

#include "link/telnet.h"
#include "sim/line.h"
#include "sim/printer.h"

namespace vexolant::sim {

// The server's side of Telnet with the COM-PORT-OPTION, for --rfc2217.
struct TelnetServer {
  bool on = false;
  bool silent = false;  // never answers an option or a request (--telnet-silent)
  bool inject = false;  // puts Telnet commands into every answer (--telnet-inject)
  TelnetDecoder decoder;
  uint8_t usOn[256] = {};  // options agreed at the printer's side
  uint8_t himOn[256] = {};
};

struct Session {
  Line line;  // on a network, master is the client's connection
  Printer printer;
  Log log;
  int exchanges = 0;  // requests to serve before ending; 0: serve until stopped
  int stopFd = -1;    // becomes readable when the printer is to stop
  int listener = -1;  // on a network: further clients are turned away while one is served
  TelnetServer telnet;
};

// The exit status of Serve when a network client has left and the next may
// come.
constexpr int kClientLeft = 3;

// Serves until stopFd becomes readable, the line is closed by a hang-up
// answer, or, after the last exchange, the tool has closed its end. Returns
// the exit status: 0 for these endings, 1 when the line fails; on a network,
// kClientLeft when the client closed its connection before.
int Serve(Session& session);

}  // namespace vexolant::sim
