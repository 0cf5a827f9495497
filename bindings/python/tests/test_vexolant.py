"""The Python binding against the library and the virtual printer.

VEXOLANT_LIBRARY names the library under test; VEXOLANT_SIM the virtual
printer (the cases that need a printer are skipped without it);
VEXOLANT_EXPECTED_VERSION, when set, the version both must have.
"""

import errno
import os
import pathlib
import re
import selectors
import subprocess
import sys
import tempfile
import time
import unittest

import vexolant

START_LIMIT_S = 10
STOP_LIMIT_S = 10
RULES = ("X=refuse:4060", "R=report:3:Line %d", "S=block:Ready")


class LibraryTest(unittest.TestCase):
    def test_version(self):
        self.assertRegex(vexolant.version(), r"^\d+\.\d+\.\d+$")
        expected = os.environ.get("VEXOLANT_EXPECTED_VERSION")
        if expected:
            self.assertEqual(vexolant.version(), expected)
            self.assertEqual(vexolant.__version__, expected)

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
        )
        missing = os.path.join(tempfile.gettempdir(), "no-such-dir", "libvexolant.so.1")
        env = dict(os.environ, VEXOLANT_LIBRARY=missing)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 2, run.stdout)
        for line in lines:
            self.assertTrue(line.startswith("VexolantError True "), line)
            self.assertIn("VEXOLANT_LIBRARY", line)
            self.assertIn(missing, line)


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
            cases = (
                ("check", printer.check, (1, 0, 0)),
                ("read_status", printer.read_status, (1, 1, 0)),
                ("send", lambda: printer.send("abc"), (1, 0, 0)),
                ("send refused", lambda: printer.send(b"Xyz"), (0, 1, 96)),
                ("send empty", lambda: printer.send(""), (1, 0, 0)),
                ("send framing byte", lambda: printer.send("a\x02b"), (0, 0, 146)),
                ("send latin-1", lambda: printer.send("L\xe9t\xe9"), (1, 0, 0)),
                ("send_file", lambda: printer.send_file(pathlib.Path(commands)), (3, 0, 0)),
                ("send_file refused", lambda: printer.send_file(os.fsencode(refused)), (1, 1, 96)),
                ("send_file empty", lambda: printer.send_file(empty), (0, 0, 92)),
                ("send_file missing", lambda: printer.send_file(nowhere), (0, 0, 153)),
                ("upload_report", lambda: printer.upload_report("R", report), (1, 0, 0)),
                ("upload_report nowhere", lambda: printer.upload_report("R", nowhere), (0, 0, 153)),
                ("upload_status", lambda: printer.upload_status(b"S", pathlib.Path(reply)),
                 (1, 0, 0)),
            )
            for name, call, expected in cases:
                with self.subTest(name):
                    start = time.monotonic()
                    result = call()
                    self.assertLess(time.monotonic() - start, 2.0)
                    self.assertIsInstance(result, vexolant.Result)
                    self.assertEqual((result.value, result.status, result.error), expected)
                    self.assertEqual(result.text, vexolant.error_text(expected[2]))
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

        # A held port is waited for as long as asked, then refused. The wait
        # is counted in whole milliseconds of the monotonic clock, so it may
        # end up to 1 ms short of the fraction asked for.
        with vexolant.Printer(self.device):
            start = time.monotonic()
            with self.assertRaises(vexolant.VexolantError) as caught:
                vexolant.Printer(self.device, wait=0.2)
            self.assertTrue(0.199 <= time.monotonic() - start < 2.0)
            self.assertEqual(caught.exception.errno, errno.EBUSY)
        # Leaving the with statement released it.
        vexolant.Printer(self.device, wait=0).close()

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


if __name__ == "__main__":
    unittest.main()
