/* libvexolant: a printer on a serial port, driven in-process.
 *
 * Each operation performs one framed, acknowledged exchange with the printer
 * (STX text ETX and an XOR check byte; ACK, NAK and ENQ answers; up to three
 * attempts with fixed pauses and read time-outs) on a port opened with
 * vexolant_open, and delivers the same result as the console tool
 * `vexolant`: a return value (what the tool prints as its return word), a
 * status code and an error code.
 *
 * Error codes of the link (the rest are the printer's own, decoded):
 *   145  the port failed (purge, write or read), or the handle is not open
 *   144  an invalid or unexpected answer
 *   137  no answer
 *   128  the printer answered NAK
 *   153  a file could not be opened, read or written
 *   146  the command text holds STX, ETX or ETB and was not sent
 *    92  vexolant_send_file: the file held no command
 *
 * Threads: a handle belongs to no thread. Two handles on two ports work at
 * the same time from two threads; calls on one handle from several threads
 * are served one at a time. The trace is process-wide and writes whole lines.
 *
 * Bad calls get a defined answer, never a crash: a NULL or closed handle
 * makes every operation return 0 with status 0 and error 145 (no byte is
 * sent); NULL status or error pointers are allowed (that code is then not
 * delivered); a NULL text is the empty command text; a NULL path is a file
 * that cannot be opened (153).
 *
 * SPDX-License-Identifier: MIT
 */
#ifndef VEXOLANT_VEXOLANT_H
#define VEXOLANT_VEXOLANT_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(VEXOLANT_BUILDING)
#define VEXOLANT_API __declspec(dllexport)
#elif defined(VEXOLANT_STATIC)
#define VEXOLANT_API
#else
#define VEXOLANT_API __declspec(dllimport)
#endif
#else
#define VEXOLANT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open port. Opaque: made by vexolant_open, freed by vexolant_close. */
typedef struct vexolant_port vexolant_port;

/* How a read ends once the printer's bytes have arrived. */
#define VEXOLANT_READ_END_GAP 0      /* 50 ms after the last byte (the default) */
#define VEXOLANT_READ_END_COMPLETE 1 /* as soon as the bytes are a whole reply */

/* Opens the port and configures it (9600 baud, 8 data bits, even parity, one
 * stop bit), for this process alone. The name follows the port file's rules:
 * on POSIX a name without '/' opens under /dev/ ("ttyUSB0"), on Windows
 * "COMn" opens as \\.\COMn. While another process holds the port, it waits
 * and tries again for as long as VEXOLANT_PORT_WAIT says (seconds; 30 when
 * unset; 0 fails at once). VEXOLANT_READ_END ("gap" or "complete") sets the
 * handle's read end. Returns 0 with *port set, or the OS error number
 * (errno or GetLastError) with *port NULL; -1 when port is NULL. A name
 * longer than 255 bytes or holding a control byte is refused (EINVAL, or
 * ERROR_INVALID_NAME on Windows). */
VEXOLANT_API int32_t vexolant_open(const char* port_name, vexolant_port** port);

/* vexolant_open with the wait for a busy port given in milliseconds
 * (0 fails at once; negative values count as 0). */
VEXOLANT_API int32_t vexolant_open_wait(const char* port_name, int32_t wait_ms,
                                        vexolant_port** port);

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
 * callback, from the thread that wrote it, one line at a time; NULL
 * switches the trace off. */
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
