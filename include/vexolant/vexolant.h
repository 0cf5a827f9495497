/* libvexolant: a printer on a serial port, driven in-process.
 *
 * Each operation performs one framed, acknowledged exchange with the printer
 * (STX text ETX and an XOR check byte; ACK, NAK and ENQ answers; up to three
 * attempts with fixed pauses and read time-outs) on a port opened with
 * vexolant_open_with, and delivers the same result as the console tool
 * `vexolant`: a return value (what the tool prints as its return word), a
 * status code and an error code.
 *
 * What each function returns:
 *
 *   function                               returns
 *   vexolant_open, vexolant_open_with,     0, or an OS error number (errno or
 *     vexolant_open_wait                     GetLastError); -1 for a NULL port
 *   vexolant_check                         flag: 1 a printer answered, else 0
 *   vexolant_read_status, vexolant_send,   flag: 1 success, else 0; the codes
 *     vexolant_upload_report,                in *status and *error
 *     vexolant_upload_status
 *   vexolant_send_file,                    count of commands accepted; the
 *     vexolant_send_lines                    codes in *status and *error
 *   vexolant_set_read_end                  0, or -1 for a bad handle or mode
 *   vexolant_trace_to_file                 0, or an OS error number
 *   vexolant_os_error                      the OS error number behind the
 *                                            handle's last VEXOLANT_ERR_PORT, or 0
 *   vexolant_open_error                    why the last open of a port name
 *                                            failed: VEXOLANT_OPEN_*
 *   vexolant_port_name_problem             why a name is refused, or NULL
 *   vexolant_error_text, vexolant_version, a text, never NULL
 *     vexolant_open_error_text,
 *     vexolant_open_error_name
 *
 * Error codes: the link's (VEXOLANT_ERR_*) and the printer's own, decoded
 * from its status (VEXOLANT_PRINTER_ERR_*); status codes are the printer's
 * (VEXOLANT_STATUS_*) or 0. One number means two things: 92 is
 * VEXOLANT_ERR_NO_COMMAND when vexolant_send_file or vexolant_send_lines
 * deliver it with status 0 and a count of 0 for a text that held no command,
 * and VEXOLANT_PRINTER_ERR_REFUSED_92 whenever it comes from the printer
 * (from those two as well, when the printer refused a command).
 *
 * Threads: a handle belongs to no thread. Two handles on two ports work at
 * the same time from two threads; calls on one handle from several threads
 * are served one at a time. The trace is process-wide and writes whole lines.
 *
 * Bad calls get a defined answer, never a crash: a NULL or closed handle
 * makes every operation return 0 with status 0 and error VEXOLANT_ERR_PORT
 * (no byte is sent); NULL status or error pointers are allowed (that code is
 * then not delivered); a NULL text is the empty command text; a NULL path is
 * a file that cannot be opened (VEXOLANT_ERR_FILE). No C++ exception leaves
 * the library: a failure inside it (memory exhausted among them) ends the
 * operation with VEXOLANT_ERR_PORT and a trace line, or an open with ENOMEM
 * or EIO.
 *
 * The library reads no environment variable; everything it does is set
 * through these calls.
 *
 * SPDX-License-Identifier: MIT
 */
#ifndef VEXOLANT_VEXOLANT_H
#define VEXOLANT_VEXOLANT_H

#include <stddef.h>
#include <stdint.h>

#include "vexolant/version.h"

#if defined(_WIN32)
/* The DLL's exports are listed by the build (a .def file made from this
 * header), so the library's code is the same for the DLL and the static
 * library. */
#if defined(VEXOLANT_BUILDING) || defined(VEXOLANT_STATIC)
#define VEXOLANT_API
#else
#define VEXOLANT_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define VEXOLANT_API __attribute__((visibility("default")))
#else
#define VEXOLANT_API
#endif

/* Error codes of the link. */
#define VEXOLANT_ERR_PORT 145      /* the port failed (purge, write or read), or is not open */
#define VEXOLANT_ERR_ANSWER 144    /* an invalid or unexpected answer */
#define VEXOLANT_ERR_NO_ANSWER 137 /* no answer */
#define VEXOLANT_ERR_NAK 128       /* the printer answered NAK */
#define VEXOLANT_ERR_FILE 153      /* a file could not be opened, read or written */
#define VEXOLANT_ERR_FRAMING 146   /* the command text holds STX, ETX or ETB: not sent */
#define VEXOLANT_ERR_NO_COMMAND 92 /* send_file, send_lines: no command in the text */
/* An upload passed its size bound (upload_limit_bytes): the file keeps the
 * blocks stored before it, and the printer got no ACK for the block over it. */
#define VEXOLANT_ERR_UPLOAD_LIMIT 147

/* Why an open failed (vexolant_open_error). The OS error number that the
 * open returned is kept as it was; for a reason that has no OS error of its
 * own (a network server's answer, a host name that does not resolve) it is
 * only a near one (EBUSY, EHOSTUNREACH, EPROTONOSUPPORT, EPROTO; on Windows
 * ERROR_SHARING_VIOLATION, WSAHOST_NOT_FOUND, WSAEPROTONOSUPPORT,
 * ERROR_BAD_NET_RESP), and these codes tell them apart. */
enum {
  VEXOLANT_OPEN_NONE = 0,            /* the last open succeeded, or none failed */
  VEXOLANT_OPEN_BAD_NAME = 1,        /* refused before anything was opened */
  VEXOLANT_OPEN_NO_DEVICE = 2,       /* no such device or port */
  VEXOLANT_OPEN_PERMISSION = 3,      /* this user may not open the device */
  VEXOLANT_OPEN_BUSY = 4,            /* another process holds the port */
  VEXOLANT_OPEN_SERVER_BUSY = 5,     /* the network server serves another client */
  VEXOLANT_OPEN_UNKNOWN_HOST = 6,    /* the host name does not resolve */
  VEXOLANT_OPEN_UNREACHABLE = 7,     /* no route to the host or its network */
  VEXOLANT_OPEN_REFUSED = 8,         /* the host refuses the connection */
  VEXOLANT_OPEN_TIMED_OUT = 9,       /* no connect or no server answer in time */
  VEXOLANT_OPEN_OPTION_REFUSED = 10, /* the server refuses RFC 2217's COM-PORT-OPTION */
  VEXOLANT_OPEN_OTHER_LINE = 11,     /* the server answered other line settings */
  VEXOLANT_OPEN_OTHER = 12           /* anything else: the OS error says what */
};

/* Status codes the printer's status decodes into. */
#define VEXOLANT_STATUS_0 0
#define VEXOLANT_STATUS_1 1
#define VEXOLANT_STATUS_2 2
#define VEXOLANT_STATUS_3 3
#define VEXOLANT_STATUS_4 4
#define VEXOLANT_STATUS_5 5
#define VEXOLANT_STATUS_6 6
#define VEXOLANT_STATUS_7 7
#define VEXOLANT_STATUS_8 8
#define VEXOLANT_STATUS_9 9
#define VEXOLANT_STATUS_10 10
#define VEXOLANT_STATUS_11 11
#define VEXOLANT_STATUS_12 12
#define VEXOLANT_STATUS_13 13
#define VEXOLANT_STATUS_14 14
#define VEXOLANT_STATUS_15 15
#define VEXOLANT_STATUS_16 16
#define VEXOLANT_STATUS_17 17
#define VEXOLANT_STATUS_19 19 /* there is no status 18 */

/* Error codes the printer's status decodes into. With an ACCEPTED code (and
 * with NONE) a command the printer answered with its status was carried
 * out: vexolant_send returns 1; with the others it returns 0. */
#define VEXOLANT_PRINTER_ERR_NONE 0
#define VEXOLANT_PRINTER_ERR_ACCEPTED_1 1
#define VEXOLANT_PRINTER_ERR_ACCEPTED_2 2
#define VEXOLANT_PRINTER_ERR_REFUSED_3 3
#define VEXOLANT_PRINTER_ERR_REFUSED_80 80
#define VEXOLANT_PRINTER_ERR_REFUSED_84 84
#define VEXOLANT_PRINTER_ERR_REFUSED_88 88
#define VEXOLANT_PRINTER_ERR_REFUSED_92 92
#define VEXOLANT_PRINTER_ERR_REFUSED_96 96
#define VEXOLANT_PRINTER_ERR_REFUSED_100 100
#define VEXOLANT_PRINTER_ERR_REFUSED_108 108
/* The status itself reports an error, whatever the error byte says. */
#define VEXOLANT_PRINTER_ERR_STATUS_FAULT 112
#define VEXOLANT_PRINTER_ERR_REFUSED_225 225
#define VEXOLANT_PRINTER_ERR_REFUSED_226 226
#define VEXOLANT_PRINTER_ERR_REFUSED_227 227
#define VEXOLANT_PRINTER_ERR_REFUSED_228 228
#define VEXOLANT_PRINTER_ERR_ACCEPTED_232 232
#define VEXOLANT_PRINTER_ERR_REFUSED_233 233

#ifdef __cplusplus
extern "C" {
#endif

/* An open port. Opaque: made by vexolant_open_with, freed by vexolant_close. */
typedef struct vexolant_port vexolant_port;

/* How a read ends once the printer's bytes have arrived. */
#define VEXOLANT_READ_END_GAP 0      /* 50 ms after the last byte (the default) */
#define VEXOLANT_READ_END_COMPLETE 1 /* as soon as the bytes are a whole reply */

/* How a port is opened and driven. Fill it with vexolant_options_init, then
 * change the fields you need. The struct may grow at its end in later
 * versions: size tells the library which fields the caller knows, and the
 * ones past it keep their defaults. */
typedef struct vexolant_options {
  uint32_t size;    /* sizeof(vexolant_options); set by vexolant_options_init */
  int32_t read_end; /* VEXOLANT_READ_END_GAP (the default) or _COMPLETE */
  /* The largest upload stored, in bytes of the output file (64 MiB): a report
   * that goes on past it ends with VEXOLANT_ERR_UPLOAD_LIMIT. At least 1. */
  int64_t upload_limit_bytes;
  /* How long an open waits for a port that another process holds, trying
   * again every 25 ms (30 000 ms; 0 fails at once). */
  int32_t busy_wait_ms;
  /* Network ports: name resolution and connect (5000 ms), and each option
   * negotiation and purge confirmation (3000 ms). At least 1. */
  int32_t connect_timeout_ms;
  int32_t negotiation_timeout_ms;
} vexolant_options;

/* Sets every field of *options to its default, size included. */
VEXOLANT_API void vexolant_options_init(vexolant_options* options);

/* Opens the port and configures it (9600 baud, 8 data bits, even parity, one
 * stop bit), for this process alone, as options say (NULL: the defaults).
 * The name follows the port file's rules: on POSIX a name without '/' opens
 * under /dev/ ("ttyUSB0"), on Windows "COMn" opens as \\.\COMn. While
 * another process holds the port, it waits and tries again for
 * busy_wait_ms. Returns 0 with *port set, or the OS error number (errno or
 * GetLastError) with *port NULL; -1 when port is NULL; vexolant_open_error
 * then tells why. A name that vexolant_port_name_problem refuses is refused
 * (EINVAL, or ERROR_INVALID_NAME on Windows), and so are options out of
 * range or with a size smaller than the first two fields (EINVAL, or
 * ERROR_INVALID_PARAMETER). */
VEXOLANT_API int32_t vexolant_open_with(const char* port_name, const vexolant_options* options,
                                        vexolant_port** port);

/* vexolant_open_with with the defaults. */
VEXOLANT_API int32_t vexolant_open(const char* port_name, vexolant_port** port);

/* vexolant_open_with with the defaults but busy_wait_ms = wait_ms (negative
 * values count as 0). */
VEXOLANT_API int32_t vexolant_open_wait(const char* port_name, int32_t wait_ms,
                                        vexolant_port** port);

/* The OS error number (errno, or GetLastError on Windows) behind the last
 * VEXOLANT_ERR_PORT that an operation on the handle delivered; 0 when its
 * last operation delivered another code, and for NULL or a closed handle. */
VEXOLANT_API int32_t vexolant_os_error(const vexolant_port* port);

/* Why the last open of port_name in this process failed (a
 * VEXOLANT_OPEN_* code), from any thread: VEXOLANT_OPEN_NONE when the last
 * open of that name succeeded or none failed, VEXOLANT_OPEN_BAD_NAME for
 * NULL. The names are compared byte for byte; the reasons of the 64 names
 * whose opens failed last are kept. An open refused for its options (or
 * with a NULL port) leaves the name's reason as it was. A tcp:// server
 * shows that it serves another client only at the first exchange (its text
 * and close in place of a reply): the operation then tries again under
 * busy_wait_ms, and when the server keeps the client away that long it
 * fails with VEXOLANT_ERR_PORT (vexolant_os_error EBUSY) and the name's
 * reason is VEXOLANT_OPEN_SERVER_BUSY; nothing reached the printer. */
VEXOLANT_API int32_t vexolant_open_error(const char* port_name);

/* A short English text for a VEXOLANT_OPEN_* code that says what to do, such
 * as "the server serves another client"; never NULL ("unknown reason" for
 * other codes). */
VEXOLANT_API const char* vexolant_open_error_text(int32_t code);

/* The code's name without its prefix, in lower case ("busy",
 * "unknown_host"); "unknown" for other codes. */
VEXOLANT_API const char* vexolant_open_error_name(int32_t code);

/* Why a port name is refused before anything is opened (an empty name, one
 * longer than 255 bytes, a control byte, a network name that is not
 * SCHEME://HOST:PORT with a port number from 1 to 65535), or NULL when it
 * may be opened. NULL is refused as no name. Nothing is opened or looked
 * up. */
VEXOLANT_API const char* vexolant_port_name_problem(const char* port_name);

/* Closes the port and frees the handle. Unread input is dropped; what was
 * written (the ACK that ends an upload among it) is left to go out to the
 * printer. NULL and a handle that is already closed are harmless. */
VEXOLANT_API void vexolant_close(vexolant_port* port);

/* Sends ENQ and reads a status frame: 1 when a printer answers with a valid
 * 5- or 9-byte frame, else 0. */
VEXOLANT_API int32_t vexolant_check(vexolant_port* port);

/* Reads the printer's status (ENQ, status frame) and decodes it into *status
 * and *error. Returns 1 when a status frame was read, whatever it says;
 * 0 with status 0 and a link error code otherwise. */
VEXOLANT_API int32_t vexolant_read_status(vexolant_port* port, int32_t* status, int32_t* error);

/* Sends one command: the text before its first CR or LF, at most 4096 bytes.
 * Returns 1 when the printer accepts it (ACK), or when it refuses it (ENQ)
 * and its decoded status says success; otherwise 0 with the link error, or
 * with the printer's decoded status and error for a refusal. */
VEXOLANT_API int32_t vexolant_send(vexolant_port* port, const char* text, int32_t* status,
                                   int32_t* error);

/* Sends every line of a text file as a command (CR LF counts as LF, 0x1A ends
 * the text, lines of more than 4096 bytes go in 4096-byte pieces, lines that
 * start with a byte below 0x20 are skipped; at most 16 MiB are read), stopping
 * at the first command that fails, whose codes are delivered. Returns the
 * number of commands accepted; error 92 when the file held none, 153 when it
 * cannot be opened or read. */
VEXOLANT_API int32_t vexolant_send_file(vexolant_port* port, const char* path, int32_t* status,
                                        int32_t* error);

/* Sends every line of the text bytes[0, length) as a command, as
 * vexolant_send_file does with a file's content (NUL bytes included: a line
 * that holds one is not sent). A NULL bytes with length 0 is the empty text. */
VEXOLANT_API int32_t vexolant_send_lines(vexolant_port* port, const char* bytes, size_t length,
                                         int32_t* status, int32_t* error);

/* Sends a command and stores the report that the printer then sends, one line
 * (CR LF) per block, in output_path, which is truncated first. Each block is
 * written and flushed to the disk before the printer gets its ACK; a block
 * that cannot be written gets none and ends the upload with 153. Returns 1
 * when the whole report is stored; 0 with status 0 and the error code
 * otherwise. */
VEXOLANT_API int32_t vexolant_upload_report(vexolant_port* port, const char* text,
                                            const char* output_path, int32_t* status,
                                            int32_t* error);

/* Sends a command and stores its single reply block as one line (CR LF) in
 * output_path, which is truncated first; the block is on the disk before its
 * ACK. Returns 1 when it is stored; 0 with status 0 and the error code
 * otherwise. */
VEXOLANT_API int32_t vexolant_upload_status(vexolant_port* port, const char* text,
                                            const char* output_path, int32_t* status,
                                            int32_t* error);

/* Sets how the handle's reads end (VEXOLANT_READ_END_GAP or
 * VEXOLANT_READ_END_COMPLETE). With COMPLETE a read ends as soon as it holds a
 * lone ACK, NAK or ENQ or a frame through its check byte, and the read after
 * the last block of a report waits 50 ms instead of 5 s; a byte that follows
 * a whole reply is left for the next exchange's purge. Returns 0, or -1 for a
 * NULL or closed handle or an unknown mode. */
VEXOLANT_API int32_t vexolant_set_read_end(vexolant_port* port, int32_t mode);

/* Switches the process-wide diagnostic trace: NULL or "" off, "-" to stderr,
 * anything else a file that is appended to. Returns 0, or the OS error number
 * when the file cannot be opened (the trace is then off). */
VEXOLANT_API int32_t vexolant_trace_to_file(const char* path);

/* Hands every trace line (a timestamp and a text, without a line end) to
 * callback, from the thread that wrote it; NULL switches the trace off. The
 * callback runs with no lock of the library held: it may call any function
 * of the library, switch the trace (the switch takes effect at the next
 * line) or write to a file. An operation that it starts on a handle whose
 * operation is tracing on the same thread does not wait for itself: it
 * returns 0 with VEXOLANT_ERR_PORT (vexolant_os_error gives EDEADLK), and a
 * close of that handle takes effect when the operation returns. Calls from
 * several threads may run at the same time, each with a whole line; after a
 * switch, a call already under way in another thread may still finish. */
VEXOLANT_API void vexolant_trace_to_callback(void (*callback)(const char* line, void* user),
                                             void* user);

/* A short English text for an error code: the link's codes and the printer's
 * decoded codes. Never NULL; "unknown code" for others. */
VEXOLANT_API const char* vexolant_error_text(int32_t code);

/* The library's version, such as "1.0.0". */
VEXOLANT_API const char* vexolant_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXOLANT_VEXOLANT_H */
