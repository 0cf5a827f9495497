"""A printer on a serial port, driven through libvexolant.

Each operation of a Printer performs one framed, acknowledged exchange with
the printer (STX text ETX and an XOR check byte; ACK, NAK and ENQ answers; up
to three attempts) and returns a Result: the operation's return value, the
status code, the error code and the error code's text. A Result is true
exactly when the operation succeeded. The codes are those of the C library
and of the console tool, named by the enums Error (the link's), Status and
PrinterError (the printer's own, decoded).

Text arguments (command texts) are the printer's byte text: a str is encoded
as latin-1, one byte per character from U+0000 to U+00FF (any other character
raises UnicodeEncodeError, a ValueError); bytes and bytearray pass as they
are. A command is the text before its first CR or LF, at most 4096 bytes; a
command text that holds a NUL byte raises ValueError, since the library would
end the command there. Paths and port names may be str, bytes or
os.PathLike.

The library is the one VEXOLANT_LIBRARY names (a path) when that is set and
not empty, else the one the system's loader finds (libvexolant.so.1,
vexolant.dll on Windows). It is loaded at the first call that needs it; when
it cannot be, that call raises VexolantError. The library itself reads no
environment variable: a Printer is opened with the options it is given, and
the library's defaults for the others.

SPDX-License-Identifier: MIT
"""

from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import enum
import math
import numbers
import operator
import os
import sys
import threading
import warnings
import weakref
from typing import Any, Callable, NamedTuple, Optional, Union

__all__ = [
    "CountResult",
    "Error",
    "OpenError",
    "Printer",
    "PrinterError",
    "Result",
    "Status",
    "VexolantError",
    "error_text",
    "open_error",
    "open_error_text",
    "port_name_problem",
    "trace_to_callback",
    "trace_to_file",
    "version",
]

Text = Union[str, bytes, bytearray]
"""A command text: str (encoded as latin-1) or the printer's bytes."""

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
"""A path or port name."""


class VexolantError(OSError):
    """A port or trace file that cannot be opened, or a library that cannot be
    loaded. For a file or port, errno and strerror are the OS's error number
    and its text and filename is the name that was given; on Windows winerror
    is the Windows error code (and errno its C equivalent). For a port,
    open_error tells why it did not open (an OpenError; where the OS error
    number is only a near one, as for a network server's answer, this is the
    reason) and open_error_text what to do about it; both are None for
    anything else."""

    open_error: Optional["OpenError"] = None
    open_error_text: Optional[str] = None


class Error(enum.IntEnum):
    """The link's error codes (VEXOLANT_ERR_* in vexolant.h)."""

    PORT = 145  # the port failed (purge, write or read), or is not open
    ANSWER = 144  # an invalid or unexpected answer
    NO_ANSWER = 137  # no answer
    NAK = 128  # the printer answered NAK
    FILE = 153  # a file could not be opened, read or written
    FRAMING = 146  # the command text holds STX, ETX or ETB: not sent
    NO_COMMAND = 92  # send_file, send_lines: no command in the text
    UPLOAD_LIMIT = 147  # an upload passed its size bound (upload_limit)


class OpenError(enum.IntEnum):
    """Why an open failed (VEXOLANT_OPEN_* in vexolant.h)."""

    NONE = 0  # the last open succeeded, or none failed
    BAD_NAME = 1  # refused before anything was opened
    NO_DEVICE = 2  # no such device or port
    PERMISSION = 3  # this user may not open the device
    BUSY = 4  # another process holds the port
    SERVER_BUSY = 5  # the network server serves another client
    UNKNOWN_HOST = 6  # the host name does not resolve
    UNREACHABLE = 7  # no route to the host or its network
    REFUSED = 8  # the host refuses the connection
    TIMED_OUT = 9  # no connect or no server answer in time
    OPTION_REFUSED = 10  # the server refuses RFC 2217's COM-PORT-OPTION
    OTHER_LINE = 11  # the server answered other line settings
    OTHER = 12  # anything else: the OS error says what


class Status(enum.IntEnum):
    """The status codes the printer's status decodes into
    (VEXOLANT_STATUS_n in vexolant.h); there is no status 18."""

    S0 = 0
    S1 = 1
    S2 = 2
    S3 = 3
    S4 = 4
    S5 = 5
    S6 = 6
    S7 = 7
    S8 = 8
    S9 = 9
    S10 = 10
    S11 = 11
    S12 = 12
    S13 = 13
    S14 = 14
    S15 = 15
    S16 = 16
    S17 = 17
    S19 = 19


class PrinterError(enum.IntEnum):
    """The error codes the printer's status decodes into
    (VEXOLANT_PRINTER_ERR_* in vexolant.h). With NONE or an ACCEPTED code, a
    command that the printer answered with its status was carried out.
    REFUSED_92 is 92 as Error.NO_COMMAND is: a count of 0 with status 0 from
    send_file or send_lines means no command; any other 92 is the printer's."""

    NONE = 0
    ACCEPTED_1 = 1
    ACCEPTED_2 = 2
    REFUSED_3 = 3
    REFUSED_80 = 80
    REFUSED_84 = 84
    REFUSED_88 = 88
    REFUSED_92 = 92
    REFUSED_96 = 96
    REFUSED_100 = 100
    REFUSED_108 = 108
    STATUS_FAULT = 112  # the status itself reports an error
    REFUSED_225 = 225
    REFUSED_226 = 226
    REFUSED_227 = 227
    REFUSED_228 = 228
    ACCEPTED_232 = 232
    REFUSED_233 = 233


class Result(NamedTuple):
    """What an operation delivers; true exactly when it succeeded (value 1).
    It unpacks and compares as the tuple (value, status, error, text)."""

    value: int  # 1 (TRUE) or 0 (FALSE)
    status: int  # the status code
    error: int  # the error code: the link's, or the printer's decoded one
    text: str  # a short English text for the error code

    def __bool__(self) -> bool:
        return self.value == 1


class CountResult(Result):
    """What send_file and send_lines deliver: value is the number of commands
    accepted, and the result is true exactly when every command was (error
    0); a text with no command is Error.NO_COMMAND, and false."""

    __slots__ = ()

    def __bool__(self) -> bool:
        return self.error == 0


_WINDOWS = sys.platform == "win32"
if _WINDOWS:
    _LIBRARY_NAME = "vexolant.dll"
elif sys.platform == "darwin":
    _LIBRARY_NAME = "libvexolant.1.dylib"
else:
    _LIBRARY_NAME = "libvexolant.so.1"

_READ_ENDS = {"gap": 0, "complete": 1}
_LONGEST_MS = 2**31 - 1
_LARGEST_UPLOAD = 2**63 - 1

_Int = ctypes.c_int32
_IntOut = ctypes.POINTER(ctypes.c_int32)
_Handle = ctypes.c_void_p
_Text = ctypes.c_char_p


class _Options(ctypes.Structure):
    """vexolant_options, field by field as vexolant.h declares it."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("read_end", ctypes.c_int32),
        ("upload_limit_bytes", ctypes.c_int64),
        ("busy_wait_ms", ctypes.c_int32),
        ("connect_timeout_ms", ctypes.c_int32),
        ("negotiation_timeout_ms", ctypes.c_int32),
    ]


# A later library may know a longer vexolant_options: vexolant_options_init
# fills it all, so it writes into this much room, of which _Options is the
# start; the fields past it keep the library's defaults.
_OPTIONS_ROOM = 1024

_TraceCallback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

# Every function the binding calls: name, result type, argument types.
_FUNCTIONS: tuple[tuple[str, Any, tuple[Any, ...]], ...] = (
    ("vexolant_options_init", None, (ctypes.c_void_p,)),
    ("vexolant_open_with", _Int, (_Text, ctypes.c_void_p, ctypes.POINTER(_Handle))),
    ("vexolant_close", None, (_Handle,)),
    ("vexolant_os_error", _Int, (_Handle,)),
    ("vexolant_check", _Int, (_Handle,)),
    ("vexolant_read_status", _Int, (_Handle, _IntOut, _IntOut)),
    ("vexolant_send", _Int, (_Handle, _Text, _IntOut, _IntOut)),
    ("vexolant_send_file", _Int, (_Handle, _Text, _IntOut, _IntOut)),
    ("vexolant_send_lines", _Int, (_Handle, _Text, ctypes.c_size_t, _IntOut, _IntOut)),
    ("vexolant_upload_report", _Int, (_Handle, _Text, _Text, _IntOut, _IntOut)),
    ("vexolant_upload_status", _Int, (_Handle, _Text, _Text, _IntOut, _IntOut)),
    ("vexolant_set_read_end", _Int, (_Handle, _Int)),
    ("vexolant_trace_to_file", _Int, (_Text,)),
    ("vexolant_trace_to_callback", None, (_TraceCallback, ctypes.c_void_p)),
    ("vexolant_error_text", _Text, (_Int,)),
    ("vexolant_open_error", _Int, (_Text,)),
    ("vexolant_open_error_text", _Text, (_Int,)),
    ("vexolant_port_name_problem", _Text, (_Text,)),
    ("vexolant_version", _Text, ()),
)

_library: Optional[ctypes.CDLL] = None
_library_lock = threading.Lock()


def _open_library() -> ctypes.CDLL:
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
    failure: Optional[OSError] = None
    for name in names:
        try:
            return ctypes.CDLL(name)
        except OSError as exc:
            failure = exc
    raise VexolantError(
        f"the vexolant library ({_LIBRARY_NAME}) was not found: install it, or set "
        f"VEXOLANT_LIBRARY to its path ({failure})"
    ) from failure


def _load() -> ctypes.CDLL:
    """The library with its functions declared; loaded on the first call."""
    global _library
    library = _library
    if library is not None:
        return library
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


def _without_nul(data: bytes, what: str) -> bytes:
    if b"\0" in data:
        raise ValueError(f"{what} holds a NUL byte")
    return data


def _bytes(text: Text) -> bytes:
    """A text as the printer's bytes."""
    if isinstance(text, str):
        return text.encode("latin-1")
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    raise TypeError(f"text must be str or bytes, not {type(text).__name__}")


def _text(text: Text) -> bytes:
    """A command text as the printer's bytes."""
    return _without_nul(_bytes(text), "text")


def _path(path: Path, what: str = "path") -> bytes:
    """A path or port name as the bytes the library opens."""
    name = os.fspath(path)
    if isinstance(name, str):
        # The library opens names through the C runtime and the A functions,
        # which take them in the ANSI code page on Windows.
        name = name.encode("mbcs") if _WINDOWS else os.fsencode(name)
    return _without_nul(name, what)


def _os_error(code: int, name: Any) -> VexolantError:
    if sys.platform == "win32":
        return VexolantError(None, ctypes.FormatError(code).strip(), name, code)
    return VexolantError(code, os.strerror(code), name)


def _milliseconds(seconds: float, what: str, least: int) -> int:
    """Seconds as whole milliseconds, at least least, at most 2**31 - 1."""
    if not isinstance(seconds, numbers.Real):
        raise TypeError(f"{what} must be a number of seconds, not {type(seconds).__name__}")
    seconds = float(seconds)
    if math.isnan(seconds):
        raise ValueError(f"{what} must be a number of seconds, not NaN")
    ms = round(min(max(seconds, 0.0) * 1000.0, _LONGEST_MS))
    if ms < least:
        raise ValueError(f"{what} must be at least {least / 1000:g} s, not {seconds!r}")
    return ms


def _options(
    wait: Optional[float] = None,
    read_end: Optional[str] = None,
    upload_limit: Optional[int] = None,
    connect_timeout: Optional[float] = None,
    negotiation_timeout: Optional[float] = None,
) -> _Options:
    """A vexolant_options from vexolant_options_init with the fields given
    (None keeps the library's default)."""
    if read_end is not None and read_end not in _READ_ENDS:
        raise ValueError(f"read end must be 'gap' or 'complete', not {read_end!r}")
    if upload_limit is not None:
        upload_limit = operator.index(upload_limit)
        if upload_limit < 1:
            raise ValueError(f"upload_limit must be at least 1 byte, not {upload_limit}")
    room = ctypes.create_string_buffer(_OPTIONS_ROOM)
    options = _Options.from_buffer(room)  # keeps room alive
    _load().vexolant_options_init(room)
    if options.size < ctypes.sizeof(_Options):
        raise VexolantError(
            f"the vexolant library knows {options.size} bytes of options, fewer than "
            f"the {ctypes.sizeof(_Options)} this binding sets"
        )
    if wait is not None:
        # Negative waits count as 0: fail at once.
        options.busy_wait_ms = _milliseconds(wait, "wait", 0)
    if read_end is not None:
        options.read_end = _READ_ENDS[read_end]
    if upload_limit is not None:
        options.upload_limit_bytes = min(upload_limit, _LARGEST_UPLOAD)
    if connect_timeout is not None:
        options.connect_timeout_ms = _milliseconds(connect_timeout, "connect_timeout", 1)
    if negotiation_timeout is not None:
        options.negotiation_timeout_ms = _milliseconds(
            negotiation_timeout, "negotiation_timeout", 1
        )
    return options


def _result(value: int, status: int, error: int) -> Result:
    return Result(value, status, error, error_text(error))


def version() -> str:
    """The library's version, such as "1.0.0"."""
    text: bytes = _load().vexolant_version()
    return text.decode("utf-8", "replace")


def __getattr__(name: str) -> str:
    # __version__ is the library's: the one version of the project. Without
    # the library there is none (hasattr is then false).
    if name == "__version__":
        try:
            return version()
        except VexolantError as exc:
            raise AttributeError(f"vexolant has no __version__: {exc}") from exc
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def error_text(code: int) -> str:
    """A short English text for an error code; "unknown code" for others."""
    if not -(2**31) <= code < 2**31:
        raise OverflowError(f"error code {code} is out of range")
    text: bytes = _load().vexolant_error_text(code)
    return text.decode("utf-8", "replace")


def _open_error(code: int) -> OpenError:
    try:
        return OpenError(code)
    except ValueError:
        return OpenError.OTHER


def open_error(port_name: Path) -> OpenError:
    """Why the last open of port_name in this process failed; OpenError.NONE
    when the last open of it succeeded or none failed."""
    return _open_error(_load().vexolant_open_error(_path(port_name, "port name")))


def open_error_text(code: int) -> str:
    """What to do about an OpenError, one line; "unknown reason" for other
    codes."""
    if not -(2**31) <= code < 2**31:
        raise OverflowError(f"open error code {code} is out of range")
    text: bytes = _load().vexolant_open_error_text(code)
    return text.decode("utf-8", "replace")


def port_name_problem(port_name: Path) -> Optional[str]:
    """Why the library refuses a port name before anything is opened (no
    name, more than 255 bytes, a control byte, a network name that is not
    SCHEME://HOST:PORT), or None when it may be opened. Nothing is opened or
    looked up."""
    problem: Optional[bytes] = _load().vexolant_port_name_problem(_path(port_name, "port name"))
    return None if problem is None else problem.decode("utf-8", "replace")


# The trace callback: one C function for the life of the process, which hands
# each line to the Python callable set last. The C function is never freed, so
# a line that is under way in another thread when the callable is switched,
# or a callable that switches the trace from inside, never runs freed code.
_trace_function: Optional[Callable[[str], object]] = None
_trace_lock = threading.Lock()


def _deliver_trace_line(line: Optional[bytes], _user: Optional[int]) -> None:
    # No lock is held while the callable runs: it may call into the library
    # and switch the trace.
    function = _trace_function
    if function is None:
        return
    try:
        function((line or b"").decode("latin-1"))
    except Exception as exc:
        # Nothing may cross into the library: the exception becomes a warning
        # (an error when warnings are; ctypes then reports it as unraisable).
        warning = RuntimeWarning(f"the vexolant trace callback {function!r} raised {exc!r}")
        warning.__cause__ = exc
        warnings.warn(warning, stacklevel=1)


_TRACE_THUNK = _TraceCallback(_deliver_trace_line)
_NO_TRACE = _TraceCallback(0)  # NULL


def _trace_off_at_exit() -> None:
    if _trace_function is not None:
        trace_to_callback(None)


atexit.register(_trace_off_at_exit)


def trace_to_callback(function: Optional[Callable[[str], object]]) -> None:
    """Hands every line of the process-wide diagnostic trace (a timestamp and
    a text, without a line end; one character per byte) to function, from the
    thread that wrote it; None switches the trace off. function may call this
    module, switch the trace, and work on a Printer: an operation on the
    Printer whose operation is tracing on the same thread does not wait for
    itself but fails with Error.PORT (os_error EDEADLK). An exception that it
    raises does not reach the library: it becomes a RuntimeWarning, and the
    trace goes on. After a switch, a line already under way in another thread
    may still reach the previous function."""
    global _trace_function
    if function is not None and not callable(function):
        raise TypeError(f"the trace callback must be callable, not {type(function).__name__}")
    library = _load()
    with _trace_lock:
        _trace_function = function
        if function is None:
            library.vexolant_trace_to_callback(_NO_TRACE, None)
        else:
            library.vexolant_trace_to_callback(_TRACE_THUNK, None)


def trace_to_file(path: Optional[Path]) -> None:
    """Switches the process-wide diagnostic trace: None or "" off, "-" to
    stderr, anything else a file that is appended to. Raises VexolantError
    when the file cannot be opened (the trace is then off)."""
    global _trace_function
    name = None if path is None else _path(path)
    library = _load()
    with _trace_lock:
        _trace_function = None
        code = library.vexolant_trace_to_file(name)
    if code != 0:
        raise _os_error(code, path)


class Printer:
    """An open port with the printer on it.

    Printer(port_name) opens the port with the library's defaults; the
    keywords change them:

    wait: seconds to wait for a port that another process holds, trying again
        every 25 ms (the default 30; 0 fails at once);
    read_end: "gap" (the default), reads end 50 ms after the last byte, or
        "complete", as soon as the bytes are a whole reply (and the read
        after a report's last block waits 50 ms instead of 5 s);
    upload_limit: the most an upload stores, in bytes of its file (the
        default 64 MiB); past it the upload fails with Error.UPLOAD_LIMIT;
    connect_timeout, negotiation_timeout: seconds for network ports (the
        defaults 5 and 3).

    On POSIX a name without '/' opens under /dev/ ("ttyUSB0"); on Windows
    "COM3". Raises VexolantError when the port cannot be opened (its
    open_error says why), ValueError for an option out of range.

    Use it in a with statement, or call close(): the port is for this process
    alone while it is open, and a Printer that is dropped unclosed is closed
    when it is collected. Operations on a closed Printer raise ValueError.
    Calls from several threads on one Printer are served one at a time.
    """

    def __init__(
        self,
        port_name: Path,
        wait: Optional[float] = None,
        read_end: Optional[str] = None,
        upload_limit: Optional[int] = None,
        connect_timeout: Optional[float] = None,
        negotiation_timeout: Optional[float] = None,
    ) -> None:
        self._handle: Optional[int] = None
        self._finalizer: Optional[weakref.finalize] = None
        self.port_name = port_name
        name = _path(port_name, "port name")
        options = _options(wait, read_end, upload_limit, connect_timeout, negotiation_timeout)
        library = _load()
        handle = _Handle()
        code = library.vexolant_open_with(name, ctypes.byref(options), ctypes.byref(handle))
        if code != 0:
            failure = _os_error(code, port_name)
            failure.open_error = _open_error(library.vexolant_open_error(name))
            failure.open_error_text = open_error_text(failure.open_error)
            raise failure
        self._handle = handle.value
        # Closes the port once: at close(), when the Printer is collected, or
        # at the interpreter's exit, whichever comes first.
        self._finalizer = weakref.finalize(self, library.vexolant_close, handle.value)

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vexolant.Printer {self.port_name!r} {state}>"

    def __enter__(self) -> Printer:
        self._open_handle()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Closes the port, dropping unread input only (what was written still
        goes out); closing again does nothing."""
        self._handle = None
        if self._finalizer is not None:
            self._finalizer()

    @property
    def os_error(self) -> int:
        """The OS error number (errno, or GetLastError on Windows) behind the
        last Error.PORT of an operation on this Printer; 0 when its last
        operation delivered another code, and once it is closed."""
        return int(_load().vexolant_os_error(self._handle))

    def _open_handle(self) -> int:
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed printer")
        return handle

    def _codes(self, function: Any, *args: Any) -> tuple[int, int, int]:
        status = _Int()
        error = _Int()
        value = function(self._open_handle(), *args, ctypes.byref(status), ctypes.byref(error))
        return value, status.value, error.value

    def _run(self, function: Any, *args: Any) -> Result:
        return _result(*self._codes(function, *args))

    def _count(self, function: Any, *args: Any) -> CountResult:
        value, status, error = self._codes(function, *args)
        return CountResult(value, status, error, error_text(error))

    def check(self) -> Result:
        """Sends ENQ and reads a status frame: true (value 1) when a printer
        answers with a valid one (status and error are always 0)."""
        return _result(_load().vexolant_check(self._open_handle()), 0, 0)

    def read_status(self) -> Result:
        """Reads the printer's status and decodes it: true (value 1) when a
        status frame was read, whatever it says."""
        return self._run(_load().vexolant_read_status)

    def send(self, text: Text) -> Result:
        """Sends one command: true (value 1) when the printer accepts it; a
        refusal delivers the printer's decoded status and error."""
        return self._run(_load().vexolant_send, _text(text))

    def send_file(self, path: Path) -> CountResult:
        """Sends every line of a text file as a command, stopping at the first
        that fails: value is the number of commands accepted, and the result
        is true when all were."""
        return self._count(_load().vexolant_send_file, _path(path))

    def send_lines(self, text: Text) -> CountResult:
        """Sends every line of text as a command, as send_file does with a
        file's content: value is the number of commands accepted, and the
        result is true when all were. A line that holds a NUL byte is not
        sent (the library refuses it, and the sending stops there)."""
        data = _bytes(text)
        return self._count(_load().vexolant_send_lines, data, len(data))

    def upload_report(self, text: Text, path: Path) -> Result:
        """Sends a command and stores the report that follows in the file at
        path, one line (CR LF) per block; the file is emptied first."""
        return self._run(_load().vexolant_upload_report, _text(text), _path(path))

    def upload_status(self, text: Text, path: Path) -> Result:
        """Sends a command and stores its reply block as one line (CR LF) in
        the file at path; the file is emptied first."""
        return self._run(_load().vexolant_upload_status, _text(text), _path(path))

    def set_read_end(self, mode: str) -> None:
        """How reads end from now on: "gap" 50 ms after the last byte,
        "complete" as soon as the bytes are a whole reply."""
        if mode not in _READ_ENDS:
            raise ValueError(f"read end must be 'gap' or 'complete', not {mode!r}")
        if _load().vexolant_set_read_end(self._open_handle(), _READ_ENDS[mode]) != 0:
            raise ValueError("operation on a closed printer")
