// Printer operations: each runs one exchange with the printer on the open
// port it is given and delivers its result. Operations with out-parameters write both on
// every path.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/port.h"

namespace vexolant {

// Opens the port (waiting for a busy one as the port's options say); 1 when
// it is open, else 0 with the OS error in *error when it is given, and how
// long it waited for a busy port in *waitedMs.
int OpenFpctrl(Port* port, const char* name, int32_t* error = nullptr,
               uint32_t* waitedMs = nullptr);
// Closes the port; always 1.
int CloseFpctrl(Port* port);

// 1 when a printer answers ENQ with a valid 5- or 9-byte status frame.
int32_t CheckFprinter(Port* port);

// Reads one status frame (asking with ENQ when sendEnq is nonzero) and delivers
// its frame codes; on failure 0 with codes 0 and the outcome code.
int32_t ReadFpOrignalStatus(Port* port, int32_t* frameStatus, int32_t* frameError, int32_t sendEnq);

// Reads and decodes the printer's status; 1 when a status frame was read.
int32_t ReadFpStatus(Port* port, int32_t* status, int32_t* error);

// Sends one command (the text before its first CR or LF; an absent text is the
// empty one). 1 when accepted; a refusal delivers the printer's decoded status.
// A text holding STX, ETX or ETB is not sent: 0 with error 146.
int32_t SendCmd(Port* port, int32_t* status, int32_t* error, const char* text);

// Sends every line of a command file; returns how many were accepted.
int32_t SendFileCmd(Port* port, int32_t* status, int32_t* error, const char* path);

// Sends every line of a command text taken apart as a command file is.
int32_t SendLinesCmd(Port* port, int32_t* status, int32_t* error, std::string_view text);

// Sends a command and stores the report blocks that follow in outputPath.
int32_t UploadReportCmd(Port* port, int32_t* status, int32_t* error, const char* text,
                        const char* outputPath);

// Sends a command and stores its single reply block in outputPath.
int32_t UploadStatusCmd(Port* port, int32_t* status, int32_t* error, const char* text,
                        const char* outputPath);

}  // namespace vexolant
