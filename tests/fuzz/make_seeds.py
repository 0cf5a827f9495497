#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into corpus/<target>/ beside this
script: the inputs of the unit and end-to-end tests' cases, in the form each
target reads. Findings of the fuzzers are kept in the same folders (named
after what they found) and are not touched by this script."""
import os
import struct

STX, ETX, ENQ, ACK, NAK, ETB = 0x02, 0x03, 0x05, 0x06, 0x15, 0x17
HERE = os.path.dirname(os.path.abspath(__file__))


def frame(text, terminator=ETX):
    body = bytes(text) + bytes([terminator])
    lrc = 0
    for b in body:
        lrc ^= b
    return bytes([STX]) + body + bytes([lrc])


# Operations: operation, flags, failing write, text, read results.
CHECK, READ_STATUS, SEND, SEND_FILE, UPLOAD_REPORT, UPLOAD_STATUS = range(6)
COMPLETE, FAIL_PURGE, FAIL_WRITE, FULL_DISK = 1, 2, 4, 8


def reply(data):
    return bytes([0, len(data)]) + data


SILENT = bytes([1])
EIO = bytes([2])


def late(data, took_ms):
    return bytes([3, took_ms // 50, len(data)]) + data


def operation(op, text=b"", reads=(), flags=0, failing_write=0):
    return (bytes([op, flags, failing_write]) + struct.pack("<H", len(text)) + text +
            b"".join(reads))


def report(blocks):
    reads = [reply(bytes([ENQ]))]
    for i, text in enumerate(blocks):
        last = i + 1 == len(blocks)
        reads.append(reply(frame(text, ETX if last else ETB)))
    return reads


STATUS = frame(b"@@")
LONG_STATUS = frame(bytes([0x40, 0, 0, 0xE0, 0, 0]))

OPERATIONS = {
    "check-status": operation(CHECK, reads=[reply(STATUS)]),
    "check-silent": operation(CHECK, reads=[SILENT, SILENT, SILENT]),
    "status-nak-then-frame": operation(READ_STATUS, reads=[reply(bytes([NAK])), reply(LONG_STATUS)]),
    "status-read-error": operation(READ_STATUS, reads=[EIO]),
    "send-ack": operation(SEND, b"abc", [reply(bytes([ACK]))]),
    "send-refused": operation(SEND, b"Xyz", [reply(bytes([ENQ])), reply(frame(b"@`"))]),
    "send-three-naks": operation(SEND, b"Xyz", [reply(bytes([NAK]))] * 3),
    "send-garbage": operation(SEND, b"Xyz", [reply(b"A")]),
    "send-wrong-check-byte": operation(SEND, b"Xyz", [reply(frame(b"ok")[:-1] + b"\x00")]),
    "send-framing-byte": operation(SEND, b"A\x03B", [reply(bytes([ACK]))]),
    "send-failed-write": operation(SEND, b"abc", [], FAIL_WRITE, 0),
    "send-stray-byte-complete": operation(SEND, b"abc", [reply(bytes([ACK, 0x41]))], COMPLETE),
    "sendfile-lines": operation(SEND_FILE, b"uno\r\ndos dos\nTRES",
                                [reply(bytes([ACK]))] * 3),
    "sendfile-refused": operation(SEND_FILE, b"A1\nB2\nC3\n",
                                  [reply(bytes([ACK])), reply(bytes([ENQ])),
                                   reply(frame(b"@`"))]),
    "sendfile-control-z": operation(SEND_FILE, b"\n\tnota\r\nA\n B\n\x1aC\n",
                                    [reply(bytes([ACK]))] * 3),
    "report-three-blocks": operation(UPLOAD_REPORT, b"R",
                                     report([b"Line 1", b"Line 2", b"Line 3"])),
    "report-hangup": operation(UPLOAD_REPORT, b"R", report([b"Line 1", b"Line 2"])[:2] + [EIO]),
    "report-pieces": operation(UPLOAD_REPORT, b"R",
                               [reply(bytes([ENQ]))] + [reply(frame(b"Hello world")[i:i + 3])
                                                        for i in range(0, 14, 3)]),
    "report-full-disk": operation(UPLOAD_REPORT, b"R", report([b"Line 1", b"Line 2"]), FULL_DISK),
    "report-complete": operation(UPLOAD_REPORT, b"R", report([b"A", b"B"]), COMPLETE),
    "status-block": operation(UPLOAD_STATUS, b"S", [reply(frame(b"Ready 1"))]),
    "status-block-etb": operation(UPLOAD_STATUS, b"S", [reply(frame(b"Ready", ETB))]),
    "status-block-dripping": operation(UPLOAD_STATUS, b"S",
                                       [late(bytes([b]), 4500) for b in frame(b"Ready")]),
    "status-nak": operation(UPLOAD_STATUS, b"S", [reply(bytes([NAK]))]),
}

FRAMES = {
    "ack": bytes([ACK]),
    "enq": bytes([ENQ]),
    "status-short": STATUS,
    "status-long": LONG_STATUS,
    "block-etb": frame(b"Line 1", ETB),
    "wrong-check-byte": frame(b"ok")[:-1] + b"\x00",
    "stray-byte": bytes([ACK, 0x41]),
    "text": b"Hola mundo, 2 x 3",
    "text-framing-byte": b"A\x03B",
}

STATUSES = {
    "short": frame(bytes([0x40, 0x41])),
    "short-signed": frame(bytes([0xA0, 0x81])),
    "long-folded": frame(bytes([0x60, 0x82, 0, 0x54, 0, 0])),
    "long-signed-d4": frame(bytes([0, 0, 0, 0x90, 0, 0])),
    "long-error-bit": frame(bytes([0x44, 0x6C, 0, 0, 0, 0])),
    "codes": frame(bytes([0, 0x81, 0x90, 0xC0, 0x81, 0])) + struct.pack("<ii", 0x1C0, 0x2A0),
}

REQUESTS = {
    "send": b"SendCmd(abc)",
    "blanks": b"SendCmd(Hola mundo, 2 x 3)",
    "nested": b"((SendCmd))(a b(c)d)",
    "file": b"SendFileCmd(/tmp/comandos 1.txt)",
    "no-argument": b"CheckFprinter",
    "escape": b"\x1b[2J\x1b]0;owned\x07(x)",
}

PORT_FILES = {
    "name": b"ttyS0\n",
    "com": b"COM10\r\nrest",
    "long": b"a" * 273 + b"\n",
    "longest": b"b" * 255,
    "control": b"tty\x1b[2JS0\n",
    "empty": b"",
}

COMMAND_FILES = {
    "lines": b"uno\r\ndos dos\nTRES",
    "control-z": b"\n\tnota\r\nA\n B\n\x1aC\n",
    "control-z-mid-line": b"abc\x1adef\nghi\n",
    "long-line": b"x" * 5000 + b"\ny\n",
    "skipped-only": b"\n\tnota\n\r\n\x01x\n",
}

# vexolantd's job bodies, as the API tests send them.
JOBS = {
    "check": b'{"op": "check"}',
    "send": b'{"op": "send", "text": "Caf\\u00e9"}',
    "send-lines-array": b'{"op": "send_lines", "lines": ["one", "", "\\ttwo"]}',
    "send-lines-text": b'{"op": "send_lines", "lines": "uno\\r\\ndos\\n"}',
    "upload-report": b'{"op": "upload_report", "text": "R"}',
    "upload-status": b'{"text":"S","op":"upload_status"}',
    "above-latin1": b'{"op": "send", "text": "\\u20ac"}',
    "nul": b'{"op": "send", "text": "a\\u0000b"}',
    "unknown-field": b'{"op": "check", "path": "/etc/passwd"}',
    "nested": b'[[[[{"op": [[["check"]]]}]]]]',
    "not-json": b"{op: check",
}

# The Telnet decoder: the first byte picks where commands go and the read
# size, the rest is data; or a raw stream as a server sends it.
TELNETS = {
    "reply-with-ff": bytes([3, STX, 0xFF, 0x41, ETX, 0xFF]),
    "status-frame": bytes([5]) + frame(b"@@"),
    "server-opening": bytes([0xFF, 0xFB, 3, 0xFF, 0xFD, 3, 0xFF, 0xFB, 1, 0xFF, 0xFE, 1, 0xFF,
                             0xFD, 0, 0xFF, 0xFB, 0, 0xFF, 0xFD, 44, 0xFF, 0xFA, 44, 107, 0,
                             0xFF, 0xF0]),
    "line-replies": bytes([0xFF, 0xFA, 44, 101, 0, 0, 0x25, 0x80, 0xFF, 0xF0, 0xFF, 0xFA, 44, 103,
                           3, 0xFF, 0xF0, ACK]),
    "unterminated-sub": bytes([0xFF, 0xFA, 44, 1, 0xFF, 0xF1, NAK]),
    "iac-at-end": bytes([ACK, 0xFF]),
}

CORPORA = {
    "job": JOBS,
    "operations": OPERATIONS,
    "frame": FRAMES,
    "status": STATUSES,
    "request": REQUESTS,
    "port_file": PORT_FILES,
    "command_file": COMMAND_FILES,
    "telnet": TELNETS,
}

for target, seeds in CORPORA.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, "seed-" + name), "wb") as out:
            out.write(data)
