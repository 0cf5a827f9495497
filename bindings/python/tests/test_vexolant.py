"""The Python binding against the library and the virtual printer.

VEXOLANT_LIBRARY names the library under test; VEXOLANT_SIM the virtual
printer (the cases that need a printer are skipped without it);
VEXOLANT_EXPECTED_VERSION, when set, the version the library and the
package must have; VEXOLANT_HEADER the library's header (else the one in
this source tree).
"""

import ctypes
import errno
import json
import os
import pathlib
import re
import selectors
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings
import weakref

import vexolant
from vexolant import CountResult, Error, PrinterError, Result, Status

SOURCE = pathlib.Path(__file__).resolve().parents[3]
PACKAGE = pathlib.Path(__file__).resolve().parents[1]

START_LIMIT_S = 10
STOP_LIMIT_S = 10
RULES = ("X=refuse:4060", "R=report:3:Line %d", "S=block:Ready")
CALL_BACK_LIMIT_S = 10

# A trace callback that calls into the library, works on the handle whose
# operation is tracing, and switches the trace off; prints what it saw.
CALL_BACK_IN = """
import json, sys, vexolant
seen = {"lines": []}
printer = vexolant.Printer(sys.argv[1], wait=0)
def on_line(line):
    seen["lines"].append(line)
    if len(seen["lines"]) == 1:
        seen["text"] = vexolant.error_text(vexolant.Error.NO_COMMAND)
        status = printer.read_status()
        seen["inside"] = [bool(status), status.error, printer.os_error]
        vexolant.trace_to_callback(None)
vexolant.trace_to_callback(on_line)
sent = printer.send("Callback")
seen["after"] = [bool(sent), printer.os_error, bool(printer.check())]
printer.close()
print(json.dumps(seen))
"""


class LibraryTest(unittest.TestCase):
    def test_version(self):
        self.assertRegex(vexolant.version(), r"^\d+\.\d+\.\d+$")
        expected = os.environ.get("VEXOLANT_EXPECTED_VERSION")
        if expected:
            self.assertEqual(vexolant.version(), expected)
            self.assertEqual(vexolant.__version__, expected)
            # The package's own version, as pip installs it.
            pyproject = (PACKAGE / "pyproject.toml").read_text()
            project = pyproject[pyproject.index("[project]"):]
            found = re.search(r'^version = "([^"]*)"$', project, re.M)
            self.assertIsNotNone(found, "pyproject.toml states no version")
            self.assertEqual(found.group(1), expected)
        self.assertEqual(vexolant.__version__, vexolant.version())
        self.assertTrue((PACKAGE / "vexolant" / "py.typed").is_file())

    def test_error_texts(self):
        self.assertEqual(vexolant.error_text(0), "no error")
        self.assertEqual(vexolant.error_text(12345), "unknown code")
        self.assertIn("96", vexolant.error_text(96))
        with self.assertRaises(OverflowError):
            vexolant.error_text(2**32 + 96)

    def test_missing_library(self):
        script = (
            "import vexolant\n"
            "for call in (vexolant.version, lambda: vexolant.Printer('ttyS0')):\n"
            "    try:\n"
            "        call()\n"
            "    except vexolant.VexolantError as exc:\n"
            "        print(type(exc).__name__, isinstance(exc, OSError), exc)\n"
            "print(hasattr(vexolant, '__version__'))\n"
        )
        missing = os.path.join(tempfile.gettempdir(), "no-such-dir", "libvexolant.so.1")
        env = dict(os.environ, VEXOLANT_LIBRARY=missing)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        *lines, has_version = run.stdout.splitlines()
        self.assertEqual(has_version, "False")
        self.assertEqual(len(lines), 2, run.stdout)
        for line in lines:
            self.assertTrue(line.startswith("VexolantError True "), line)
            self.assertIn("VEXOLANT_LIBRARY", line)
            self.assertIn(missing, line)


def header_text():
    path = os.environ.get("VEXOLANT_HEADER") or SOURCE / "include" / "vexolant" / "vexolant.h"
    return pathlib.Path(path).read_text()


class CodesTest(unittest.TestCase):
    """The enums name the header's codes, every one and nothing else."""

    def header_codes(self, pattern):
        return {name: int(value) for name, value in re.findall(pattern, header_text(), re.M)}

    def test_enums_agree_with_the_header(self):
        cases = (
            (Error, r"^#define VEXOLANT_ERR_(\w+) +(\d+)\b", ""),
            (PrinterError, r"^#define VEXOLANT_PRINTER_ERR_(\w+) +(\d+)\b", ""),
            (Status, r"^#define VEXOLANT_STATUS_(\d+) +(\d+)\b", "S"),
            (vexolant.OpenError, r"^ +VEXOLANT_OPEN_(\w+) += (\d+)\b", ""),
        )
        for enum, pattern, prefix in cases:
            with self.subTest(enum.__name__):
                header = {prefix + name: value for name, value in
                          self.header_codes(pattern).items()}
                self.assertGreaterEqual(len(header), 8)
                self.assertEqual({member.name: int(member) for member in enum}, header)

    def test_codes_are_their_numbers(self):
        named = {Error.PORT: 145, Error.ANSWER: 144, Error.NO_ANSWER: 137, Error.NAK: 128,
                 Error.FILE: 153, Error.FRAMING: 146, Error.NO_COMMAND: 92,
                 Error.UPLOAD_LIMIT: 147, PrinterError.NONE: 0, PrinterError.REFUSED_96: 96,
                 PrinterError.STATUS_FAULT: 112, Status.S1: 1, Status.S19: 19}
        for member, number in named.items():
            with self.subTest(member.name):
                self.assertEqual(member, number)
                self.assertEqual(hash(member), hash(number))
        self.assertIs(Error(145), Error.PORT)
        self.assertEqual(Error.NO_COMMAND, PrinterError.REFUSED_92)
        self.assertNotIn(18, set(Status))


class ResultTest(unittest.TestCase):
    def test_truth_is_success(self):
        cases = (
            (Result(1, 0, 0, "no error"), True),
            (Result(1, 1, PrinterError.ACCEPTED_1, "accepted"), True),
            (Result(0, 1, 96, "refused"), False),
            (Result(0, 0, Error.NO_ANSWER, "no answer"), False),
            (CountResult(3, 0, 0, "no error"), True),
            (CountResult(1, 1, 96, "refused"), False),
            (CountResult(0, 0, Error.NO_COMMAND, "no command"), False),
        )
        for result, truth in cases:
            with self.subTest(result):
                self.assertIs(bool(result), truth)

    def test_still_a_four_tuple(self):
        result = CountResult(2, 1, 96, "refused")
        value, status, error, text = result
        self.assertEqual((value, status, error, text), (2, 1, 96, "refused"))
        self.assertEqual(result, (2, 1, 96, "refused"))
        self.assertEqual(Result(0, 0, 0, ""), (0, 0, 0, ""))
        self.assertIsInstance(result, Result)
        self.assertEqual(result._replace(error=0), (2, 1, 0, "refused"))
        self.assertTrue(result._replace(error=0))


class OptionsTest(unittest.TestCase):
    """Printer's keywords become a vexolant_options."""

    CTYPES = {"uint32_t": ctypes.c_uint32, "int32_t": ctypes.c_int32,
              "int64_t": ctypes.c_int64}

    def test_layout_is_the_headers(self):
        found = re.search(r"typedef struct vexolant_options \{(.*?)\} vexolant_options;",
                          header_text(), re.S)
        self.assertIsNotNone(found)
        body = re.sub(r"/\*.*?\*/", "", found.group(1), flags=re.S)
        fields = [(name, self.CTYPES[kind])
                  for kind, name in re.findall(r"\b(u?int\d+_t) +(\w+);", body)]
        self.assertEqual(vexolant._Options._fields_, fields)

    def test_defaults_are_the_librarys(self):
        options = vexolant._options()
        self.assertEqual(options.size, ctypes.sizeof(vexolant._Options))
        self.assertEqual((options.read_end, options.upload_limit_bytes, options.busy_wait_ms,
                          options.connect_timeout_ms, options.negotiation_timeout_ms),
                         (0, 64 << 20, 30000, 5000, 3000))

    def test_keywords(self):
        options = vexolant._options(wait=0.25, read_end="complete", upload_limit=10,
                                    connect_timeout=1.5, negotiation_timeout=0.002)
        self.assertEqual((options.read_end, options.upload_limit_bytes, options.busy_wait_ms,
                          options.connect_timeout_ms, options.negotiation_timeout_ms),
                         (1, 10, 250, 1500, 2))
        self.assertEqual(vexolant._options(wait=-3, upload_limit=2**70).busy_wait_ms, 0)
        self.assertEqual(vexolant._options(upload_limit=2**70).upload_limit_bytes, 2**63 - 1)
        self.assertEqual(vexolant._options(wait=1e12).busy_wait_ms, 2**31 - 1)

    def test_bad_options_raise(self):
        bad = (
            (ValueError, {"read_end": "whole"}),
            (ValueError, {"upload_limit": 0}),
            (TypeError, {"upload_limit": 1.5}),
            (ValueError, {"connect_timeout": 0}),
            (ValueError, {"negotiation_timeout": 0.0004}),
            (ValueError, {"wait": float("nan")}),
            (TypeError, {"wait": "5"}),
        )
        for exception, keywords in bad:
            with self.subTest(keywords):
                self.assertRaises(exception, vexolant._options, **keywords)
                self.assertRaises(exception, vexolant.Printer, "ttyS0", **keywords)


def readme_programs():
    """The README's first C program and its Python program."""
    readme = (SOURCE / "README.md").read_text()
    c = re.search(r"^```c\n(.*?)^```$", readme, re.M | re.S).group(1)
    python = re.search(r"^```python\n(.*?)^```$", readme, re.M | re.S).group(1)
    return c, python


class DocsTest(unittest.TestCase):
    def test_the_manual_shows_the_readmes_programs(self):
        manual = (SOURCE / "man" / "libvexolant.3").read_text()
        section = manual[manual.index(".SH EXAMPLES"):manual.index(".SH SEE ALSO")]
        shown = [re.sub(r"\\(.)", r"\1", block.replace("\\e", "\\\\"))
                 for block in re.findall(r"^\.EX\n(.*?)^\.EE$", section, re.M | re.S)]
        c, python = readme_programs()
        self.assertIn(c, shown)
        self.assertIn(python, shown)


@unittest.skipUnless(os.environ.get("VEXOLANT_SIM"), "VEXOLANT_SIM names no virtual printer")
class PrinterTest(unittest.TestCase):
    """One virtual printer for the class, with the rules X=refuse:4060,
    R=report:3:Line %d and S=block:Ready."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.log = os.path.join(cls.scratch.name, "printer.log")
        command = [os.environ["VEXOLANT_SIM"], "--log", cls.log]
        for rule in RULES:
            command += ["--rule", rule]
        cls.printer = subprocess.Popen(command, stdout=subprocess.PIPE)
        with selectors.DefaultSelector() as selector:
            selector.register(cls.printer.stdout, selectors.EVENT_READ)
            ready = selector.select(START_LIMIT_S)
        cls.device = cls.printer.stdout.readline().decode().strip() if ready else ""
        if not cls.device:
            cls.printer.kill()
            cls.printer.wait()
            cls.scratch.cleanup()
            raise RuntimeError(f"the printer did not start within {START_LIMIT_S} s")

    @classmethod
    def tearDownClass(cls):
        cls.printer.terminate()
        status = cls.printer.wait(STOP_LIMIT_S)
        cls.printer.stdout.close()
        log = pathlib.Path(cls.log).read_text(errors="replace")
        cls.scratch.cleanup()
        if status != 0:
            raise AssertionError(f"the printer ended with status {status}; its log:\n{log}")

    def path(self, name, content=None):
        path = os.path.join(self.scratch.name, name)
        if content is not None:
            pathlib.Path(path).write_bytes(content)
        return path

    def printer_log(self):
        return pathlib.Path(self.log).read_text(errors="replace")

    def test_every_operation(self):
        commands = self.path("commands.txt", b"one\r\ntwo\n\n\tskipped\nthree")
        refused = self.path("refused.txt", b"one\nXtwo\nthree\n")
        empty = self.path("empty.txt", b"\n\n")
        report = self.path("report.txt", b"earlier content, longer than the report")
        reply = self.path("reply.txt")
        nowhere = self.path("no-such-dir/file.txt")
        with vexolant.Printer(self.device, wait=0) as printer:
            # Reports end at once after their last block, not 5 s later.
            printer.set_read_end("complete")
            # (value, status, error) and whether the operation succeeded.
            cases = (
                ("check", printer.check, (1, 0, 0), True),
                ("read_status", printer.read_status, (1, 1, 0), True),
                ("send", lambda: printer.send("abc"), (1, 0, 0), True),
                ("send refused", lambda: printer.send(b"Xyz"), (0, 1, 96), False),
                ("send empty", lambda: printer.send(""), (1, 0, 0), True),
                ("send framing byte", lambda: printer.send("a\x02b"), (0, 0, Error.FRAMING),
                 False),
                ("send latin-1", lambda: printer.send("L\xe9t\xe9"), (1, 0, 0), True),
                ("send_file", lambda: printer.send_file(pathlib.Path(commands)), (3, 0, 0), True),
                ("send_file refused", lambda: printer.send_file(os.fsencode(refused)),
                 (1, 1, PrinterError.REFUSED_96), False),
                ("send_file empty", lambda: printer.send_file(empty), (0, 0, Error.NO_COMMAND),
                 False),
                ("send_file missing", lambda: printer.send_file(nowhere), (0, 0, Error.FILE),
                 False),
                ("send_lines", lambda: printer.send_lines("one\r\ntwo\n\n\tskipped\nthree"),
                 (3, 0, 0), True),
                ("send_lines refused", lambda: printer.send_lines(b"one\nXtwo\nthree\n"),
                 (1, 1, 96), False),
                ("send_lines empty", lambda: printer.send_lines(bytearray(b"\n\n")),
                 (0, 0, Error.NO_COMMAND), False),
                ("upload_report", lambda: printer.upload_report("R", report), (1, 0, 0), True),
                ("upload_report nowhere", lambda: printer.upload_report("R", nowhere),
                 (0, 0, Error.FILE), False),
                ("upload_status", lambda: printer.upload_status(b"S", pathlib.Path(reply)),
                 (1, 0, 0), True),
            )
            for name, call, expected, succeeded in cases:
                with self.subTest(name):
                    start = time.monotonic()
                    result = call()
                    self.assertLess(time.monotonic() - start, 2.0)
                    self.assertIsInstance(result, vexolant.Result)
                    self.assertEqual((result.value, result.status, result.error), expected)
                    self.assertEqual(result.text, vexolant.error_text(expected[2]))
                    self.assertIs(bool(result), succeeded)
                    self.assertEqual(printer.os_error, 0)
            printer.set_read_end("gap")
            self.assertEqual(printer.send("abc").value, 1)
            with self.assertRaises(ValueError):
                printer.set_read_end("whole")
            with self.assertRaises(UnicodeEncodeError):
                printer.send("\u20ac")
        self.assertEqual(pathlib.Path(report).read_bytes(), b"Line 1\r\nLine 2\r\nLine 3\r\n")
        self.assertEqual(pathlib.Path(reply).read_bytes(), b"Ready\r\n")
        self.assertIn("recv <STX>L<0xE9>t<0xE9><ETX>", self.printer_log())

    def test_leaving_the_with_statement_keeps_the_last_ack(self):
        reply = self.path("close-reply.txt")
        with vexolant.Printer(self.device, wait=0) as printer:
            printer.set_read_end("complete")
            self.assertEqual(printer.upload_status("Sclose", reply).value, 1)
        # The printer logs what it reads as it reads it.
        def after_block():
            log = self.printer_log()
            return log[log.rfind("recv <STX>Sclose<ETX>"):]

        deadline = time.monotonic() + 2.0
        while "recv <ACK>" not in after_block() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertIn("recv <ACK>", after_block())

    def test_nul_in_text_or_path_sends_nothing(self):
        report = self.path("nul-report.txt")
        with vexolant.Printer(self.device, wait=0) as printer:
            cases = (
                ("send", lambda: printer.send("Nul1\0abc")),
                ("send bytes", lambda: printer.send(b"Nul2\0abc")),
                ("upload_report", lambda: printer.upload_report("Nul3\0", report)),
                ("upload_status", lambda: printer.upload_status("Nul4\0", report)),
                ("upload_status path", lambda: printer.upload_status("Nul5", report + "\0x")),
                ("send_file", lambda: printer.send_file(report + "\0x")),
            )
            for name, call in cases:
                with self.subTest(name):
                    self.assertRaises(ValueError, call)
            self.assertRaises(TypeError, printer.send, 5)
        self.assertNotIn("Nul", self.printer_log())
        self.assertRaises(ValueError, vexolant.Printer, self.device + "\0x", wait=0)

    def test_opens_that_fail(self):
        missing = self.path("no-such-device")
        with self.assertRaises(vexolant.VexolantError) as caught:
            vexolant.Printer(missing, wait=0)
        self.assertIsInstance(caught.exception, OSError)
        self.assertEqual(caught.exception.errno, errno.ENOENT)
        self.assertEqual(caught.exception.strerror, os.strerror(errno.ENOENT))
        self.assertEqual(caught.exception.filename, missing)
        self.assertIs(caught.exception.open_error, vexolant.OpenError.NO_DEVICE)
        self.assertIn("no such device", caught.exception.open_error_text)
        self.assertIs(vexolant.open_error(missing), vexolant.OpenError.NO_DEVICE)

        # A held port is waited for as long as asked, then refused. The wait
        # is counted in whole milliseconds of the monotonic clock, so it may
        # end up to 1 ms short of the fraction asked for.
        with vexolant.Printer(self.device):
            start = time.monotonic()
            with self.assertRaises(vexolant.VexolantError) as caught:
                vexolant.Printer(self.device, wait=0.2)
            self.assertTrue(0.199 <= time.monotonic() - start < 2.0)
            self.assertEqual(caught.exception.errno, errno.EBUSY)
            self.assertIs(caught.exception.open_error, vexolant.OpenError.BUSY)
        # Leaving the with statement released it, and the open clears the reason.
        vexolant.Printer(self.device, wait=0).close()
        self.assertIs(vexolant.open_error(self.device), vexolant.OpenError.NONE)

    def test_port_names_and_network_reasons(self):
        cases = (
            ("ttyUSB0", None),
            ("tcp://printerhost:4001", None),
            ("tcp://printerhost", "no port number"),
            ("rfc2217://host:99999", "out of range"),
            ("", "no name"),
            (b"tty\x1b[2J", "control byte"),
        )
        for name, words in cases:
            with self.subTest(name=name):
                problem = vexolant.port_name_problem(name)
                if words is None:
                    self.assertIsNone(problem)
                    continue
                self.assertIn(words, problem)
                with self.assertRaises(vexolant.VexolantError) as caught:
                    vexolant.Printer(name, wait=0)
                self.assertIs(caught.exception.open_error, vexolant.OpenError.BAD_NAME)
        with socket.socket() as unused:
            unused.bind(("127.0.0.1", 0))
            refused = f"tcp://127.0.0.1:{unused.getsockname()[1]}"
        with self.assertRaises(vexolant.VexolantError) as caught:
            vexolant.Printer(refused, wait=0)
        self.assertEqual(caught.exception.errno, errno.ECONNREFUSED)
        self.assertIs(caught.exception.open_error, vexolant.OpenError.REFUSED)
        self.assertIs(vexolant.open_error(refused), vexolant.OpenError.REFUSED)
        self.assertIn("refuses the connection",
                      vexolant.open_error_text(vexolant.OpenError.REFUSED))
        self.assertEqual(vexolant.open_error_text(99), "unknown reason")

    def test_closed_printer(self):
        printer = vexolant.Printer(self.device, wait=0)
        printer.close()
        printer.close()
        self.assertTrue(printer.closed)
        reply = self.path("closed.txt")
        for name, call in (
            ("check", printer.check),
            ("read_status", printer.read_status),
            ("send", lambda: printer.send("abc")),
            ("send_file", lambda: printer.send_file(reply)),
            ("upload_report", lambda: printer.upload_report("R", reply)),
            ("upload_status", lambda: printer.upload_status("S", reply)),
            ("set_read_end", lambda: printer.set_read_end("gap")),
            ("with", lambda: printer.__enter__()),
        ):
            with self.subTest(name):
                self.assertRaises(ValueError, call)
        # A Printer that is dropped releases its port.
        printer = vexolant.Printer(self.device, wait=0)
        del printer
        vexolant.Printer(self.device, wait=0).close()

    def test_trace(self):
        trace = self.path("trace.txt")
        with vexolant.Printer(self.device, wait=0) as printer:
            vexolant.trace_to_file(pathlib.Path(trace))
            try:
                printer.check()
            finally:
                vexolant.trace_to_file(None)
            size = os.path.getsize(trace)
            self.assertGreater(size, 0)
            printer.check()
            self.assertEqual(os.path.getsize(trace), size)
        with self.assertRaises(vexolant.VexolantError) as caught:
            vexolant.trace_to_file(self.path("no-such-dir/trace.txt"))
        self.assertEqual(caught.exception.errno, errno.ENOENT)

    def test_read_end_option(self):
        report = self.path("option-report.txt")
        with vexolant.Printer(self.device, wait=0, read_end="complete") as printer:
            start = time.monotonic()
            self.assertTrue(printer.upload_report("R", report))
            # Read to its gap's end, the read after the last block takes 5 s.
            self.assertLess(time.monotonic() - start, 2.0)
        self.assertEqual(pathlib.Path(report).read_bytes(), b"Line 1\r\nLine 2\r\nLine 3\r\n")

    def test_without_wait_a_held_port_is_waited_for(self):
        # The library's default wait (30 s), not a wait of the binding's own.
        holder = vexolant.Printer(self.device, wait=0)
        release = threading.Timer(0.3, holder.close)
        release.start()
        try:
            start = time.monotonic()
            with vexolant.Printer(self.device) as printer:
                self.assertGreaterEqual(time.monotonic() - start, 0.25)
                self.assertTrue(printer.check())
        finally:
            release.join()
            holder.close()

    def test_upload_limit_option(self):
        report = self.path("bounded-report.txt")
        with vexolant.Printer(self.device, wait=0, read_end="complete", upload_limit=10) as printer:
            result = printer.upload_report("R", report)
        self.assertFalse(result)
        self.assertEqual(result.error, Error.UPLOAD_LIMIT)
        self.assertEqual(pathlib.Path(report).read_bytes(), b"Line 1\r\n")

    def test_send_lines_takes_the_bytes_as_they_are(self):
        with vexolant.Printer(self.device, wait=0) as printer:
            # The library has the whole text: it finds the NUL and refuses
            # that line whole (a text cut at the NUL would send "Li").
            result = printer.send_lines(b"Lines1\nLi\0nes2\nLines3\n")
            self.assertEqual(tuple(result[:3]), (1, 0, vexolant.Error.FRAMING))
            self.assertFalse(result)
            self.assertEqual(printer.send_lines("Lines4 \xe9\n"), (1, 0, 0, "no error"))
            self.assertRaises(TypeError, printer.send_lines, 5)
            self.assertRaises(UnicodeEncodeError, printer.send_lines, "\u20ac")
        log = self.printer_log()
        self.assertIn("recv <STX>Lines1<ETX>", log)
        self.assertNotIn("recv <STX>Li<ETX>", log)
        self.assertNotIn("recv <STX>Lines3<ETX>", log)
        self.assertIn("recv <STX>Lines4 <0xE9><ETX>", log)

    def test_a_dropped_printer_is_collected_and_closed(self):
        printer = vexolant.Printer(self.device, wait=0)
        alive = weakref.ref(printer)
        del printer
        self.assertIsNone(alive())
        vexolant.Printer(self.device, wait=0).close()
        self.assertFalse(hasattr(vexolant.Printer, "__del__"))

    def test_trace_callback_calls_back_in(self):
        # In a process of its own, which a hang cannot take the others with.
        try:
            run = subprocess.run([sys.executable, "-c", CALL_BACK_IN, self.device],
                                 env=dict(os.environ, PYTHONPATH=str(PACKAGE)),
                                 capture_output=True, text=True, timeout=CALL_BACK_LIMIT_S)
        except subprocess.TimeoutExpired:
            self.fail(f"a trace callback that calls back in hangs ({CALL_BACK_LIMIT_S} s)")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, "")
        seen = json.loads(run.stdout)
        # Switched off from inside at the first line: no line after it.
        self.assertEqual(len(seen["lines"]), 1)
        self.assertRegex(seen["lines"][0], r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} ")
        self.assertEqual(seen["text"], vexolant.error_text(92))
        # The handle is busy with the operation that traces: no wait for itself.
        self.assertEqual(seen["inside"], [False, Error.PORT, errno.EDEADLK])
        self.assertEqual(seen["after"], [True, 0, True])
        self.assertIn("recv <STX>Callback<ETX>", self.printer_log())

    def test_trace_callback_that_raises(self):
        lines = []

        def on_line(line):
            lines.append(line)
            raise KeyError(line)

        with vexolant.Printer(self.device, wait=0) as printer:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                vexolant.trace_to_callback(on_line)
                try:
                    result = printer.send("Callback that raises")
                finally:
                    vexolant.trace_to_callback(None)
        self.assertTrue(result)
        # Every line reached the callable, and each exception became a warning.
        self.assertGreater(len(lines), 1)
        self.assertEqual(len(caught), len(lines))
        for warning, line in zip(caught, lines):
            self.assertIs(warning.category, RuntimeWarning)
            self.assertIsInstance(warning.message.__cause__, KeyError)
            self.assertEqual(warning.message.__cause__.args, (line,))
        self.assertRaises(TypeError, vexolant.trace_to_callback, "not callable")

    def test_the_readmes_program(self):
        _, python = readme_programs()
        self.assertIn('"ttyUSB0"', python)
        run = subprocess.run([sys.executable, "-c", python.replace('"ttyUSB0"', repr(self.device))],
                             env=dict(os.environ, PYTHONPATH=str(PACKAGE)),
                             capture_output=True, text=True, timeout=30)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "accepted\n", ""))


if __name__ == "__main__":
    unittest.main()
