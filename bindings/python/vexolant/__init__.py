"""A printer on a serial port, driven through libvexolant.

Each operation of a Printer performs one framed, acknowledged exchange with
the printer (STX text ETX and an XOR check byte; ACK, NAK and ENQ answers; up
to three attempts) and returns a Result: the operation's return value, the
status code, the error code and the error code's text. The codes are those of
the C library and of the console tool.

Text arguments (command texts) are the printer's byte text: a str is encoded
as latin-1, one byte per character from U+0000 to U+00FF (any other character
raises UnicodeEncodeError, a ValueError); bytes and bytearray pass as they
are. A command is the text before its first CR or LF, at most 4096 bytes; a
text that holds a NUL byte raises ValueError, since the library would end the
command there. Paths and port names may be str, bytes or os.PathLike.

The library is the one VEXOLANT_LIBRARY names (a path) when that is set and
not empty, else the one the system's loader finds (libvexolant.so.1,
vexolant.dll on Windows). It is loaded at the first call that needs it; when
it cannot be, that call raises VexolantError.

SPDX-License-Identifier: MIT
"""

import ctypes
import ctypes.util
import math
import os
import sys
import threading
from typing import NamedTuple

__all__ = ["Printer", "Result", "VexolantError", "error_text", "trace_to_file", "version"]
__version__ = "1.0.0"


class VexolantError(OSError):
    """A port or trace file that cannot be opened, or a library that cannot be
    loaded. For a file or port, errno and strerror are the OS's error number
    and its text and filename is the name that was given; on Windows winerror
    is the Windows error code (and errno its C equivalent)."""


class Result(NamedTuple):
    """What an operation delivers."""

    value: int  # 1 (TRUE) or 0 (FALSE); send_file: the commands accepted
    status: int  # the status code
    error: int  # the error code: the link's, or the printer's decoded one
    text: str  # a short English text for the error code


_WINDOWS = sys.platform == "win32"
if _WINDOWS:
    _LIBRARY_NAME = "vexolant.dll"
elif sys.platform == "darwin":
    _LIBRARY_NAME = "libvexolant.1.dylib"
else:
    _LIBRARY_NAME = "libvexolant.so.1"

_READ_ENDS = {"gap": 0, "complete": 1}
_LONGEST_WAIT_MS = 2**31 - 1

_Int = ctypes.c_int32
_IntOut = ctypes.POINTER(ctypes.c_int32)
_Handle = ctypes.c_void_p
_Text = ctypes.c_char_p

# Every function the binding calls: name, result type, argument types.
_FUNCTIONS = (
    ("vexolant_open", _Int, (_Text, ctypes.POINTER(_Handle))),
    ("vexolant_open_wait", _Int, (_Text, _Int, ctypes.POINTER(_Handle))),
    ("vexolant_close", None, (_Handle,)),
    ("vexolant_check", _Int, (_Handle,)),
    ("vexolant_read_status", _Int, (_Handle, _IntOut, _IntOut)),
    ("vexolant_send", _Int, (_Handle, _Text, _IntOut, _IntOut)),
    ("vexolant_send_file", _Int, (_Handle, _Text, _IntOut, _IntOut)),
    ("vexolant_upload_report", _Int, (_Handle, _Text, _Text, _IntOut, _IntOut)),
    ("vexolant_upload_status", _Int, (_Handle, _Text, _Text, _IntOut, _IntOut)),
    ("vexolant_set_read_end", _Int, (_Handle, _Int)),
    ("vexolant_trace_to_file", _Int, (_Text,)),
    ("vexolant_error_text", _Text, (_Int,)),
    ("vexolant_version", _Text, ()),
)

_library = None
_library_lock = threading.Lock()


def _open_library():
    configured = os.environ.get("VEXOLANT_LIBRARY")
    if configured:
        try:
            return ctypes.CDLL(configured)
        except OSError as exc:
            raise VexolantError(
                f"cannot load the vexolant library that VEXOLANT_LIBRARY names: {exc}"
            ) from exc
    found = ctypes.util.find_library("vexolant")
    names = dict.fromkeys(name for name in (found, _LIBRARY_NAME) if name)
    failure = None
    for name in names:
        try:
            return ctypes.CDLL(name)
        except OSError as exc:
            failure = exc
    raise VexolantError(
        f"the vexolant library ({_LIBRARY_NAME}) was not found: install it, or set "
        f"VEXOLANT_LIBRARY to its path ({failure})"
    ) from failure


def _load():
    """The library with its functions declared; loaded on the first call."""
    global _library
    with _library_lock:
        if _library is None:
            library = _open_library()
            for name, restype, argtypes in _FUNCTIONS:
                try:
                    function = getattr(library, name)
                except AttributeError as exc:
                    raise VexolantError(
                        f"the vexolant library {library._name} lacks {name}"
                    ) from exc
                function.restype = restype
                function.argtypes = argtypes
            _library = library
        return _library


def _without_nul(data, what):
    if b"\0" in data:
        raise ValueError(f"{what} holds a NUL byte")
    return data


def _text(text):
    """A command text as the printer's bytes."""
    if isinstance(text, str):
        data = text.encode("latin-1")
    elif isinstance(text, (bytes, bytearray)):
        data = bytes(text)
    else:
        raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
    return _without_nul(data, "text")


def _path(path, what="path"):
    """A path or port name as the bytes the library opens."""
    path = os.fspath(path)
    if isinstance(path, str):
        # The library opens names through the C runtime and the A functions,
        # which take them in the ANSI code page on Windows.
        path = path.encode("mbcs") if _WINDOWS else os.fsencode(path)
    return _without_nul(path, what)


def _os_error(code, name):
    if _WINDOWS:
        return VexolantError(None, ctypes.FormatError(code).strip(), name, code)
    return VexolantError(code, os.strerror(code), name)


def _wait_ms(seconds):
    seconds = float(seconds)
    if math.isnan(seconds):
        raise ValueError("wait must be a number of seconds, not NaN")
    return round(min(max(seconds, 0.0) * 1000.0, _LONGEST_WAIT_MS))


def _result(value, status, error):
    return Result(value, status, error, error_text(error))


def version():
    """The library's version, such as "1.0.0"."""
    return _load().vexolant_version().decode("utf-8", "replace")


def error_text(code):
    """A short English text for an error code; "unknown code" for others."""
    if not -(2**31) <= code < 2**31:
        raise OverflowError(f"error code {code} is out of range")
    return _load().vexolant_error_text(code).decode("utf-8", "replace")


def trace_to_file(path):
    """Switches the process-wide diagnostic trace: None or "" off, "-" to
    stderr, anything else a file that is appended to. Raises VexolantError
    when the file cannot be opened (the trace is then off)."""
    code = _load().vexolant_trace_to_file(None if path is None else _path(path))
    if code != 0:
        raise _os_error(code, path)


class Printer:
    """An open port with the printer on it.

    Printer(port_name) opens the port and waits for a port that another
    process holds as VEXOLANT_PORT_WAIT says (30 s when unset);
    Printer(port_name, wait=seconds) waits that long (0 fails at once). On
    POSIX a name without '/' opens under /dev/ ("ttyUSB0"); on Windows "COM3".
    Raises VexolantError when the port cannot be opened.

    Use it in a with statement, or call close(): the port is for this process
    alone while it is open. Operations on a closed Printer raise ValueError.
    Calls from several threads on one Printer are served one at a time.
    """

    def __init__(self, port_name, wait=None):
        self._handle = None
        self.port_name = port_name
        name = _path(port_name, "port name")
        wait_ms = None if wait is None else _wait_ms(wait)
        library = _load()
        handle = _Handle()
        if wait_ms is None:
            code = library.vexolant_open(name, ctypes.byref(handle))
        else:
            code = library.vexolant_open_wait(name, wait_ms, ctypes.byref(handle))
        if code != 0:
            raise _os_error(code, port_name)
        self._handle = handle

    def __repr__(self):
        state = "closed" if self._handle is None else "open"
        return f"<vexolant.Printer {self.port_name!r} {state}>"

    def __enter__(self):
        self._open_handle()
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Closes the port, dropping unread input only (what was written still
        goes out); closing again does nothing."""
        handle, self._handle = self._handle, None
        if handle is not None:
            _library.vexolant_close(handle)

    def _open_handle(self):
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed printer")
        return handle

    def _run(self, function, *args):
        status = _Int()
        error = _Int()
        value = function(self._open_handle(), *args, ctypes.byref(status), ctypes.byref(error))
        return _result(value, status.value, error.value)

    def check(self):
        """Sends ENQ and reads a status frame: value 1 when a printer answers
        with a valid one (status and error are always 0)."""
        return _result(_library.vexolant_check(self._open_handle()), 0, 0)

    def read_status(self):
        """Reads the printer's status and decodes it: value 1 when a status
        frame was read, whatever it says."""
        return self._run(_library.vexolant_read_status)

    def send(self, text):
        """Sends one command: value 1 when the printer accepts it; a refusal
        delivers the printer's decoded status and error."""
        return self._run(_library.vexolant_send, _text(text))

    def send_file(self, path):
        """Sends every line of a text file as a command, stopping at the first
        that fails: value is the number of commands accepted."""
        return self._run(_library.vexolant_send_file, _path(path))

    def upload_report(self, text, path):
        """Sends a command and stores the report that follows in the file at
        path, one line (CR LF) per block; the file is emptied first."""
        return self._run(_library.vexolant_upload_report, _text(text), _path(path))

    def upload_status(self, text, path):
        """Sends a command and stores its reply block as one line (CR LF) in
        the file at path; the file is emptied first."""
        return self._run(_library.vexolant_upload_status, _text(text), _path(path))

    def set_read_end(self, mode):
        """How reads end: "gap" (the default) 50 ms after the last byte,
        "complete" as soon as the bytes are a whole reply."""
        if mode not in _READ_ENDS:
            raise ValueError(f"read end must be 'gap' or 'complete', not {mode!r}")
        if _library.vexolant_set_read_end(self._open_handle(), _READ_ENDS[mode]) != 0:
            raise ValueError("operation on a closed printer")
