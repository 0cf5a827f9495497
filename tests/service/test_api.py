"""vexolantd's HTTP API against virtual printers: every route, every error
status, idempotency, cancelling, the token, Host and origin checks, bodies
too large or malformed, the configuration's errors, and SIGTERM."""

import json
import os
import pathlib
import signal
import socket
import sqlite3
import subprocess
import threading
import time
import unittest

import harness

harness.check_answers = True

RULES = ("X=refuse:4060", "R=report:3:Line %d", "S=block:Ready", "D=delay:1500,ack")
ORIGIN = "https://till.example"


class ApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = harness.scratch()
        cls.front = harness.Printer(cls.scratch.name, "front", RULES)
        cls.back = harness.Printer(cls.scratch.name, "back")
        cls.daemon = harness.Daemon(
            cls.scratch.name,
            [("front", cls.front.device, "complete"), ("back", cls.back.device, "complete"),
             ("gone", "/nonexistent/ttyGone", "gap")],
            extra=f'allowed_origins = ["{ORIGIN}"]')

    @classmethod
    def tearDownClass(cls):
        status = cls.daemon.stop()
        cls.front.stop()
        cls.back.stop()
        errors = cls.daemon.errors()
        cls.scratch.cleanup()
        if status != 0:
            raise AssertionError(f"vexolantd ended with {status}:\n{errors}")

    def assertError(self, answer, status):
        self.assertEqual(answer.status, status, answer)
        self.assertIsInstance(answer.json, dict, answer)
        self.assertIsInstance(answer.json.get("error"), str, answer)
        self.assertEqual(answer.headers.get("Content-Type"), "application/json")

    def test_the_api_document(self):
        answer = self.daemon.request("GET", "/v1/openapi.json")
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.json["openapi"], "3.1.0")
        self.assertEqual(answer.json["info"]["version"],
                         self.daemon.request("GET", "/v1/health").json["version"])
        document = self.daemon.api_document()
        document.check_schemas()
        self.assertError(self.daemon.request("GET", "/v1/openapi.json", token=None), 401)

    def test_health_needs_no_token(self):
        answer = self.daemon.request("GET", "/v1/health", token=None)
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.json["ok"], True)
        self.assertRegex(answer.json["version"], r"^\d+\.\d+\.\d+$")

    def test_printers(self):
        answer = self.daemon.request("GET", "/v1/printers")
        self.assertEqual(answer.status, 200)
        printers = {p["name"]: p for p in answer.json["printers"]}
        self.assertEqual(set(printers), {"front", "back", "gone"})
        self.assertEqual(printers["front"]["port"], self.front.device)
        self.assertIn(printers["front"]["state"], ("idle", "busy"))
        self.assertIsInstance(printers["front"]["queued"], int)

    def test_metrics_without_a_fleet_link(self):
        samples = self.daemon.metrics()
        self.assertNotIn("vexolant_fleet_connected", samples)
        self.assertEqual(samples['vexolant_printer_state{printer="gone",state="offline"}'] +
                         samples['vexolant_printer_state{printer="gone",state="idle"}'], 1)
        self.assertIn('vexolant_queue_jobs{printer="front"}', samples)

    def test_every_operation(self):
        cases = (
            ({"op": "check"}, dict(ok=True, value=1, status=0, error=0), None),
            ({"op": "read_status"}, dict(ok=True, value=1, status=1, error=0), None),
            ({"op": "send", "text": "hello"}, dict(ok=True, value=1, status=0, error=0), None),
            ({"op": "send", "text": "Xno"}, dict(ok=False, value=0, status=1, error=96), None),
            ({"op": "send", "text": "a\x02b"}, dict(ok=False, value=0, status=0, error=146), None),
            ({"op": "send_lines", "lines": ["one", "two", "", "three"]},
             dict(ok=True, value=3, status=0, error=0), None),
            ({"op": "send_lines", "lines": "uno\r\ndos\n\tskipped\n"},
             dict(ok=True, value=2, status=0, error=0), None),
            ({"op": "send_lines", "lines": ["\tonly skipped"]},
             dict(ok=False, value=0, status=0, error=92), None),
            ({"op": "upload_report", "text": "R"}, dict(ok=True, value=1, status=0, error=0),
             ["Line 1", "Line 2", "Line 3"]),
            ({"op": "upload_status", "text": "S"}, dict(ok=True, value=1, status=0, error=0),
             ["Ready"]),
        )
        for body, expected, lines in cases:
            with self.subTest(json.dumps(body)):
                job = self.daemon.run_job("front", body)
                self.assertEqual(job["state"], "done")
                self.assertEqual(job["op"], body["op"])
                self.assertEqual(job["printer"], "front")
                for field in ("accepted", "started", "finished"):
                    self.assertRegex(job[field], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
                result = job["result"]
                for key, value in expected.items():
                    self.assertEqual(result[key], value, result)
                self.assertIsInstance(result["error_text"], str)
                self.assertEqual(result.get("lines"), lines)
        received = self.front.received()
        for text in ("hello", "one", "two", "three", "uno", "dos"):
            self.assertIn(text, received)
        self.assertNotIn("only skipped", self.front.log_text())

    def test_read_status_is_shown_with_the_printer(self):
        self.daemon.run_job("back", {"op": "read_status"})
        printers = {p["name"]: p for p in self.daemon.request("GET", "/v1/printers").json["printers"]}
        status = printers["back"]["last_status"]
        self.assertEqual((status["status"], status["error"]), (1, 0))
        self.assertIsInstance(status["at"], str)

    def test_latin1_texts(self):
        job = self.daemon.run_job("back", {"op": "send", "text": "Caf\u00e9 \u00ff"})
        self.assertTrue(job["result"]["ok"])
        self.assertIn("recv <STX>Caf<0xE9> <0xFF><ETX>", self.back.log_text())
        for text in ("\u0100", "\u20ac", "a\u0000b"):
            with self.subTest(text=repr(text)):
                self.assertError(self.daemon.post_job("back", {"op": "send", "text": text}), 400)

    def test_unopenable_port(self):
        job = self.daemon.run_job("gone", {"op": "check"})
        self.assertEqual(job["result"]["ok"], False)
        self.assertEqual(job["result"]["error"], 145)
        # ENOENT; on Windows ERROR_PATH_NOT_FOUND
        self.assertEqual(job["result"]["os_error"], 3 if harness.WINE else 2)
        self.assertEqual(job["result"]["open_error"], "no_device")
        self.assertIn("no such port" if harness.WINE else "no such device",
                      job["result"]["open_error_text"])
        self.assertIn(job["result"]["open_error_text"], job["result"]["error_text"])
        printers = {p["name"]: p for p in self.daemon.request("GET", "/v1/printers").json["printers"]}
        self.assertEqual(printers["gone"]["state"], "offline")

    def test_not_found(self):
        cases = (
            ("POST", "/v1/printers/nobody/jobs", {"op": "check"}),
            ("GET", "/v1/jobs/999999999", None),
            ("GET", "/v1/jobs/0", None),
            ("GET", "/v1/jobs/abc", None),
            ("DELETE", "/v1/jobs/999999999", None),
            ("GET", "/v1/nothing", None),
            ("GET", "/v2/health", None),
            ("GET", "/v1/printers/front/jobs/../../../etc/passwd", None),
        )
        for method, path, body in cases:
            with self.subTest(f"{method} {path}"):
                self.assertError(self.daemon.request(method, path, body), 404)

    def test_wait(self):
        job = self.daemon.post_job("back", {"op": "send", "text": "quick"}).json
        start = time.monotonic()
        answer = self.daemon.request("GET", f"/v1/jobs/{job['id']}?wait=30")
        self.assertLess(time.monotonic() - start, 10)
        self.assertEqual(answer.json["state"], "done")
        slow = self.daemon.post_job("front", {"op": "send", "text": "D wait"}).json
        start = time.monotonic()
        answer = self.daemon.request("GET", f"/v1/jobs/{slow['id']}?wait=0.2")
        elapsed = time.monotonic() - start
        self.assertGreaterEqual(elapsed, 0.15)
        self.assertLess(elapsed, 1.4)
        self.assertIn(answer.json["state"], ("queued", "running"))
        self.assertEqual(self.daemon.wait_job(slow["id"])["state"], "done")
        for bad in ("61", "-1", "abc", "", "nan", "1e9"):
            with self.subTest(wait=bad):
                self.assertError(self.daemon.request("GET", f"/v1/jobs/{job['id']}?wait={bad}"),
                                 400)

    def test_cancel(self):
        running = self.daemon.post_job("front", {"op": "send", "text": "D running"}).json
        queued = self.daemon.post_job("front", {"op": "send", "text": "never sent"}).json
        answer = self.daemon.request("DELETE", f"/v1/jobs/{queued['id']}")
        self.assertEqual(answer.status, 200, answer)
        self.assertEqual(answer.json["state"], "cancelled")
        self.assertError(self.daemon.request("DELETE", f"/v1/jobs/{queued['id']}"), 409)
        self.assertError(self.daemon.request("DELETE", f"/v1/jobs/{running['id']}"), 409)
        self.assertEqual(self.daemon.wait_job(running["id"])["state"], "done")
        self.assertError(self.daemon.request("DELETE", f"/v1/jobs/{running['id']}"), 409)
        # A job queued after the cancelled one shows that the queue went on.
        self.daemon.run_job("front", {"op": "send", "text": "after cancel"})
        self.assertEqual(self.daemon.request("GET", f"/v1/jobs/{queued['id']}").json["state"],
                         "cancelled")
        self.assertNotIn("never sent", self.front.log_text())

    def test_idempotency(self):
        key = {"Idempotency-Key": f"receipt-{time.time_ns()}"}
        body = {"op": "send", "text": "idempotent receipt"}
        first = self.daemon.post_job("back", body, key)
        self.assertEqual(first.status, 202)
        self.daemon.wait_job(first.json["id"])
        # The same body in another form is the same body.
        again = self.daemon.post_job("back", b'{ "text" : "idempotent receipt", "op":"send" }', key)
        self.assertEqual(again.status, 202, again)
        self.assertEqual(again.json["id"], first.json["id"])
        self.assertEqual(again.json["state"], "done")
        self.assertEqual(self.daemon.wait_job(first.json["id"])["result"]["ok"], True)
        self.assertError(self.daemon.post_job("back", {"op": "send", "text": "other"}, key), 422)
        self.assertError(self.daemon.post_job("front", body, key), 422)
        self.assertEqual(self.back.received().count("idempotent receipt"), 1)
        for bad in ("x" * 256, "with space", "caf\u00e9"):
            with self.subTest(key=bad):
                answer = self.daemon.post_job("back", body, {"Idempotency-Key": bad.encode(
                    "latin-1").decode("latin-1")})
                self.assertError(answer, 400)

    def test_token(self):
        cases = (
            ("no token", None, {}),
            ("wrong token", "x" * len(harness.TOKEN), {}),
            ("a prefix of the token", harness.TOKEN[:-1], {}),
            ("the token and more", harness.TOKEN + "x", {}),
            ("empty", "", {}),
        )
        for name, token, headers in cases:
            with self.subTest(name):
                answer = self.daemon.request("GET", "/v1/printers", token=token, headers=headers)
                self.assertError(answer, 401)
                self.assertEqual(answer.headers.get("WWW-Authenticate"), "Bearer")
        basic = self.daemon.request("GET", "/v1/printers", token=None,
                                    headers={"Authorization": "Basic " + harness.TOKEN})
        self.assertError(basic, 401)
        for method, path, body in (("POST", "/v1/printers/front/jobs", {"op": "check"}),
                                   ("GET", "/v1/jobs/1", None), ("DELETE", "/v1/jobs/1", None),
                                   ("GET", "/v1/jobs", None)):
            with self.subTest(f"{method} {path}"):
                self.assertError(self.daemon.request(method, path, body, token=None), 401)
        self.assertNotIn("Authorization", self.front.log_text())

    def test_host(self):
        port = self.daemon.port
        for host in (f"127.0.0.1:{port}", f"localhost:{port}"):
            with self.subTest(host=host):
                answer = self.daemon.request("GET", "/v1/printers", headers={"Host": host})
                self.assertEqual(answer.status, 200)
        for host in (f"evil.example:{port}", "evil.example", f"127.0.0.1:{port + 1}",
                     "127.0.0.1", f"localhost.evil.example:{port}"):
            with self.subTest(host=host):
                for path in ("/v1/health", "/v1/printers", "/"):
                    self.assertError(self.daemon.request("GET", path, headers={"Host": host}), 403)
        missing = self.daemon.raw(b"GET /v1/health HTTP/1.0\r\n\r\n")
        self.assertTrue(missing.startswith(b"HTTP/1.1 403"), missing)

    def test_origins(self):
        allowed = self.daemon.request("GET", "/v1/printers", headers={"Origin": ORIGIN})
        self.assertEqual(allowed.status, 200)
        self.assertEqual(allowed.headers.get("Access-Control-Allow-Origin"), ORIGIN)
        own = f"http://127.0.0.1:{self.daemon.port}"
        self.assertEqual(self.daemon.request("GET", "/v1/printers",
                                             headers={"Origin": own}).status, 200)
        for origin in ("https://evil.example", "null", ORIGIN + ".evil.example", "http://till.example"):
            with self.subTest(origin=origin):
                answer = self.daemon.request("POST", "/v1/printers/front/jobs", {"op": "check"},
                                             headers={"Origin": origin})
                self.assertError(answer, 403)
                self.assertIsNone(answer.headers.get("Access-Control-Allow-Origin"))
        preflight = {"Origin": ORIGIN, "Access-Control-Request-Method": "POST",
                     "Access-Control-Request-Headers": "authorization,content-type"}
        answer = self.daemon.request("OPTIONS", "/v1/printers/front/jobs", token=None,
                                     headers=preflight)
        self.assertEqual(answer.status, 204)
        self.assertEqual(answer.headers.get("Access-Control-Allow-Origin"), ORIGIN)
        self.assertIn("POST", answer.headers.get("Access-Control-Allow-Methods"))
        self.assertIn("Authorization", answer.headers.get("Access-Control-Allow-Headers"))
        refused = dict(preflight, Origin="https://evil.example")
        answer = self.daemon.request("OPTIONS", "/v1/printers/front/jobs", token=None,
                                     headers=refused)
        self.assertError(answer, 403)
        self.assertIsNone(answer.headers.get("Access-Control-Allow-Origin"))

    def test_bad_bodies(self):
        cases = (
            (b"", 400),
            (b"{", 400),
            (b"not json", 400),
            (b"[]", 400),
            (b'"check"', 400),
            (b"{}", 400),
            (b'{"op": 1}', 400),
            (b'{"op": "print"}', 400),
            (b'{"op": "send"}', 400),
            (b'{"op": "send", "text": 5}', 400),
            (b'{"op": "send", "text": null}', 400),
            (b'{"op": "check", "text": "x"}', 400),
            (b'{"op": "check", "path": "/etc/passwd"}', 400),
            (b'{"op": "upload_report", "text": "R", "output": "/tmp/x"}', 400),
            (b'{"op": "send_lines", "lines": 5}', 400),
            (b'{"op": "send_lines", "lines": [1]}', 400),
            (b'{"op": "send", "text": "\xff"}', 400),
            (b'{"op": "send", "text": "a"}  trailing', 400),
            (b'{"op": "send", "text": "' + b"a" * (1 << 20) + b'"}', 413),
        )
        for body, status in cases:
            with self.subTest(body=body[:60]):
                self.assertError(self.daemon.post_job("back", body), status)
        self.assertEqual(self.back.received().count("a"), 0)

    def test_large_send_lines(self):
        # 2 MiB: over the 1 MiB of other jobs, within the 16 MiB of send_lines.
        lines = ["\t" + "s" * 4000] * 512 + ["big lines"]
        job = self.daemon.run_job("back", {"op": "send_lines", "lines": lines})
        self.assertEqual(job["result"]["value"], 1, job)
        self.assertIn("big lines", self.back.received())

    def test_too_large_send_lines(self):
        body = b'{"op": "send_lines", "lines": "' + b"x" * (16 << 20) + b'"}'
        answer = self.daemon.post_job("back", body)
        self.assertError(answer, 413)

    def test_oversized_headers(self):
        reply = self.daemon.raw(b"GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " +
                                b"a" * 20000 + b"\r\n\r\n")
        self.assertFalse(reply.startswith(b"HTTP/1.1 200"), reply[:100])
        self.assertEqual(self.daemon.request("GET", "/v1/health").status, 200)

    def test_list_jobs(self):
        job = self.daemon.run_job("back", {"op": "check"})
        answer = self.daemon.request("GET", "/v1/jobs?limit=5")
        self.assertEqual(answer.status, 200)
        self.assertLessEqual(len(answer.json["jobs"]), 5)
        self.assertIn(job["id"], [j["id"] for j in answer.json["jobs"]])
        for bad in ("0", "101", "x"):
            with self.subTest(limit=bad):
                self.assertError(self.daemon.request("GET", f"/v1/jobs?limit={bad}"), 400)

    def test_console_tool_between_jobs(self):
        self.daemon.run_job("back", {"op": "check"})
        home = pathlib.Path(self.scratch.name, "tool-home")
        home.mkdir(exist_ok=True)
        (home / "Puerto.dat").write_text(self.back.device + "\n")
        env = dict(os.environ, VEXOLANT_HOME=str(home), VEXOLANT_PORT_WAIT="2")
        run = subprocess.run([os.environ["VEXOLANT_TOOL"], "SendCmd(from the tool)"], env=env,
                             capture_output=True, timeout=30)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn(b"Retorno: TRUE", run.stdout)
        self.assertIn("from the tool", self.back.received())

    def test_concurrent_jobs_keep_their_order(self):
        texts = [f"order {i:03d}" for i in range(30)]
        for text in texts:
            self.assertEqual(self.daemon.post_job("back", {"op": "send", "text": text}).status, 202)
        last = self.daemon.request("GET", "/v1/jobs?limit=1").json["jobs"][0]
        self.daemon.wait_job(last["id"])
        received = [t for t in self.back.received() if t.startswith("order ")]
        self.assertEqual(received, texts)


class ShutdownTest(unittest.TestCase):
    def test_sigterm_finishes_the_running_job_and_keeps_the_queued(self):
        with harness.scratch() as folder:
            printer = harness.Printer(folder, "p", ("D=delay:1500,ack",))
            try:
                daemon = harness.Daemon(folder, [("p", printer.device, "complete")])
                running = daemon.post_job("p", {"op": "send", "text": "D running"}).json
                queued = [daemon.post_job("p", {"op": "send", "text": f"queued {i}"}).json
                          for i in range(3)]
                time.sleep(0.3)
                daemon.process.send_signal(harness.STOP_SIGNAL)
                time.sleep(0.2)
                refused = daemon.post_job("p", {"op": "check"})
                self.assertError(refused, 503)
                self.assertEqual(daemon.process.wait(harness.STOP_LIMIT_S), 0)
                daemon.process.stdout.close()
                daemon.stderr.close()
                self.assertIn("D running", printer.received())
                self.assertFalse(any(t.startswith("queued") for t in printer.received()))
                daemon.start()
                self.assertEqual(daemon.wait_job(running["id"])["state"], "done")
                for job in queued:
                    self.assertEqual(daemon.wait_job(job["id"])["state"], "done")
                self.assertEqual([t for t in printer.received() if t.startswith("queued")],
                                 ["queued 0", "queued 1", "queued 2"])
                self.assertEqual(daemon.stop(), 0)
            finally:
                printer.stop()

    assertError = ApiTest.assertError

    def test_retention_removes_old_jobs_at_start(self):
        with harness.scratch() as folder:
            printer = harness.Printer(folder, "p")
            try:
                daemon = harness.Daemon(folder, [("p", printer.device, "complete")],
                                        extra="retention_hours = 0")
                job = daemon.run_job("p", {"op": "check"})
                self.assertEqual(daemon.stop(), 0)
                daemon.start()
                self.assertError(daemon.request("GET", f"/v1/jobs/{job['id']}"), 404)
                self.assertEqual(daemon.stop(), 0)
            finally:
                printer.stop()

    def test_one_service_per_journal(self):
        with harness.scratch() as folder:
            daemon = harness.Daemon(folder, [])
            try:
                with self.assertRaisesRegex(RuntimeError, "another vexolantd"):
                    harness.Daemon(folder, [], journal=daemon.journal)
            finally:
                daemon.stop()


    @unittest.skipIf(harness.WINE, "the failing accept is a preloaded library of Linux")
    def test_a_failure_to_accept_stops_the_service_with_its_reason(self):
        env = dict(os.environ, LD_PRELOAD=os.environ["VEXOLANT_ACCEPT_FAILS"])
        if os.environ.get("VEXOLANT_SANITIZED"):
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        with harness.scratch() as folder:
            daemon = harness.Daemon(folder, [], env=env)
            try:
                status = daemon.process.wait(harness.STOP_LIMIT_S)
            except subprocess.TimeoutExpired:
                status = None
            finally:
                daemon.stop()
            self.assertEqual(status, 1, daemon.errors())
            self.assertRegex(daemon.errors(), r"stopped accepting connections on "
                             r"127\.0\.0\.1:\d+: No buffer space available")


class NetworkPortTest(unittest.TestCase):
    """Printers behind network port names: the service hands the name to the
    library as it is."""

    def test_tcp_and_rfc2217_printers(self):
        with harness.scratch() as folder:
            printers = [harness.Printer(folder, "tcp", ("X=refuse:4060",),
                                        ("--tcp", "127.0.0.1:0")),
                        harness.Printer(folder, "rfc", (), ("--tcp", "127.0.0.1:0",
                                                            "--rfc2217", "on"))]
            try:
                names = [p.device for p in printers]
                self.assertTrue(names[0].startswith("tcp://"), names)
                names[1] = names[1].replace("tcp://", "rfc2217://", 1)
                with socket.socket() as unused:
                    unused.bind(("127.0.0.1", 0))
                    gone = f"tcp://127.0.0.1:{unused.getsockname()[1]}"
                daemon = harness.Daemon(folder, [("tcp", names[0], "complete"),
                                                 ("rfc", names[1], "complete"),
                                                 ("gone", gone, "complete")])
                try:
                    for printer in ("tcp", "rfc"):
                        with self.subTest(printer):
                            job = daemon.run_job(printer, {"op": "send", "text": "over the net"})
                            self.assertTrue(job["result"]["ok"], job)
                    refused = daemon.run_job("tcp", {"op": "send", "text": "Xno"})
                    self.assertEqual((refused["result"]["status"], refused["result"]["error"]),
                                     (1, 96))
                    self.assertNotIn("open_error", refused["result"])
                    gone = daemon.run_job("gone", {"op": "check"})["result"]
                    self.assertEqual((gone["error"], gone["open_error"]), (145, "refused"), gone)
                    self.assertIn("refuses the connection", gone["open_error_text"])
                    self.assertNotEqual(gone["os_error"], 0)
                    # Another client holds the tcp:// printer for longer than
                    # the port wait (5 s): its text and close come in place
                    # of the first reply.
                    host, port = names[0][len("tcp://"):].rsplit(":", 1)
                    with socket.create_connection((host, int(port))):
                        time.sleep(0.2)
                        held = daemon.run_job("tcp", {"op": "send", "text": "kept away"})["result"]
                    self.assertEqual((held["error"], held["open_error"]), (145, "server_busy"),
                                     held)
                    self.assertIn("serves another client", held["open_error_text"])
                    self.assertNotIn("kept away", printers[0].received())
                finally:
                    self.assertEqual(daemon.stop(), 0)
                for printer in printers:
                    self.assertIn("over the net", printer.received())
            finally:
                for printer in printers:
                    printer.stop()


class OlderJournalTest(unittest.TestCase):
    """A journal written before jobs had a source is taken as it is: its jobs
    came through HTTP, its queued ones run, its keys still hold."""

    RESULT = {"ok": True, "value": 1, "status": 0, "error": 0, "error_text": "no error"}
    OLD_SCHEMA = """
        CREATE TABLE jobs (id INTEGER PRIMARY KEY AUTOINCREMENT, printer TEXT NOT NULL,
          op TEXT NOT NULL, request TEXT NOT NULL, key TEXT UNIQUE, state TEXT NOT NULL,
          accepted REAL NOT NULL, started REAL, finished REAL, result TEXT);
        CREATE INDEX jobs_state ON jobs(state, id);
    """

    def test_older_journal_is_migrated(self):
        with harness.scratch() as folder:
            journal = os.path.join(folder, "old.db")
            db = sqlite3.connect(journal)
            db.executescript(self.OLD_SCHEMA)
            now = time.time()
            db.execute("INSERT INTO jobs (printer, op, request, key, state, accepted, finished, "
                       "result) VALUES ('front', 'check', '{\"op\":\"check\"}', 'k-1', 'done', "
                       "?, ?, ?)", (now, now, json.dumps(self.RESULT)))
            db.execute("INSERT INTO jobs (printer, op, request, state, accepted) VALUES "
                       "('front', 'send', '{\"op\":\"send\",\"text\":\"left queued\"}', "
                       "'queued', ?)", (now,))
            db.commit()
            db.close()
            printer = harness.Printer(folder, "front")
            daemon = harness.Daemon(folder, [("front", printer.device, "complete")],
                                    journal=journal)
            try:
                queued = daemon.wait_job(2)
                self.assertEqual(queued["state"], "done")
                self.assertEqual(queued["source"], "http")
                self.assertEqual(printer.received(), ["left queued"])
                old = daemon.request("GET", "/v1/jobs/1").json
                self.assertEqual((old["state"], old["source"], old["result"]),
                                 ("done", "http", self.RESULT))
                again = daemon.post_job("front", {"op": "check"}, {"Idempotency-Key": "k-1"})
                self.assertEqual((again.status, again.json["id"]), (202, 1))
            finally:
                self.assertEqual(daemon.stop(), 0, daemon.errors())
                printer.stop()
            # Opened again: already migrated, nothing changes.
            daemon = harness.Daemon(folder, [("front", printer.device, "complete")],
                                    journal=journal)
            self.assertEqual(daemon.stop(), 0, daemon.errors())


class ConfigTest(unittest.TestCase):
    """A configuration with an error stops the start with a message that
    names its line."""

    CASES = (
        ("unknown key", 'listen = "127.0.0.1:0"\ncolour = "red"\n', 2, "unknown key 'colour'"),
        ("unknown printer key", '[[printer]]\nname = "a"\nport = "ttyS0"\nspeed = 9600\n', 4,
         "unknown key 'speed'"),
        ("duplicate printer", '[[printer]]\nname = "a"\nport = "ttyS0"\n'
                              '[[printer]]\nname = "a"\nport = "ttyS1"\n', 4, "duplicate"),
        ("empty port", '[[printer]]\nname = "a"\nport = ""\n', 3, "bad port name"),
        ("control byte in port", '[[printer]]\nname = "a"\nport = "tty\\u0001"\n', 3,
         "bad port name"),
        ("port over 255 bytes", '[[printer]]\nname = "a"\nport = "' + "p" * 256 + '"\n', 3,
         "bad port name"),
        ("network port without its number", '[[printer]]\nname = "a"\nport = "tcp://printerhost"\n',
         3, "bad port name: the network name has no port number"),
        ("network port number 0", '[[printer]]\nname = "a"\nport = "rfc2217://host:0"\n', 3,
         "out of range"),
        ("bad read end", '[[printer]]\nname = "a"\nport = "ttyS0"\nread_end = "soon"\n', 4,
         "read_end"),
        ("printer without port", '\n[[printer]]\nname = "a"\n', 2, "without a port"),
        ("bad name", '[[printer]]\nname = "a/b"\nport = "ttyS0"\n', 2, "name"),
        ("bad listen", 'listen = "8631"\n', 1, "listen"),
        ("wrong type", 'allowed_origins = "https://a.example"\n', 1, "allowed_origins"),
        ("syntax", 'listen = \n', 1, ""),
        ("health interval", 'health_interval_s = -1\n', 1, "health_interval_s"),
        ("fleet without broker", '[fleet]\nsite = "s"\n', 1, "without a broker"),
        ("fleet without site", '[fleet]\nbroker = "mqtt://h:1883"\n', 1, "without a site"),
        ("fleet scheme", '[fleet]\nbroker = "http://h:1883"\nsite = "s"\n', 2, "'broker'"),
        ("fleet port", '[fleet]\nsite = "s"\nbroker = "mqtt://h"\n', 3, "'broker'"),
        ("fleet port range", '[fleet]\nsite = "s"\nbroker = "mqtts://h:65536"\n', 3,
         "'broker'"),
        ("fleet path", '[fleet]\nsite = "s"\nbroker = "mqtt://h:1883/x"\n', 3, "'broker'"),
        ("fleet site", '[fleet]\nbroker = "mqtt://h:1883"\nsite = "s/t"\n', 3, "'site'"),
        ("fleet prefix", '[fleet]\nbroker = "mqtt://h:1883"\nsite = "s"\n'
                         'topic_prefix = "a/#"\n', 4, "topic_prefix"),
        ("fleet keepalive", '[fleet]\nbroker = "mqtt://h:1883"\nsite = "s"\nkeepalive_s = 1\n',
         4, "keepalive_s"),
        ("fleet unknown key", '[fleet]\nbroker = "mqtt://h:1883"\nsite = "s"\nqos = 2\n', 4,
         "unknown key 'qos' in [fleet]"),
        ("fleet cert alone", '[fleet]\nbroker = "mqtts://h:8883"\nsite = "s"\n'
                             'cert_file = "c.pem"\n', 1, "key_file"),
        ("fleet not a table", 'fleet = "mqtt://h:1883"\n', 1, "[fleet]"),
    )

    def check(self, folder, text):
        config = pathlib.Path(folder, "c.toml")
        token = pathlib.Path(folder, "token")
        token.write_text(harness.TOKEN + "\n")
        config.write_text(f'token_file = "{harness.service_path(token)}"\n' + text)
        config = harness.service_path(config)
        return subprocess.run(harness.service_command("--check", "--config", config),
                              capture_output=True, text=True, timeout=30), config

    def test_errors_name_the_line(self):
        with harness.scratch() as folder:
            for name, text, line, words in self.CASES:
                with self.subTest(name):
                    run, config = self.check(folder, text)
                    self.assertEqual(run.returncode, 1, run.stdout)
                    # The token line comes first: the case's lines are one further.
                    self.assertIn(f"{config}:{line + 1}:", run.stderr)
                    self.assertIn(words, run.stderr)

    def test_good_configurations_are_taken(self):
        cases = (
            ("network and local ports",
             '[[printer]]\nname = "a"\nport = "tcp://10.0.0.5:9100"\n'
             '[[printer]]\nname = "b"\nport = "rfc2217://host:7000"\n'
             '[[printer]]\nname = "c"\nport = "ttyUSB0"\nread_end = "gap"\n'),
            ("fleet link",
             'health_interval_s = 60\n[fleet]\nbroker = "mqtts://central.example:8883"\n'
             'site = "store-214"\ntopic_prefix = "chain/v1"\nusername = "store-214"\n'
             'keepalive_s = 30\nsession_expiry_s = 604800\n'),
        )
        with harness.scratch() as folder:
            for name, text in cases:
                with self.subTest(name):
                    run, _ = self.check(folder, text)
                    if harness.WINE and name == "fleet link":
                        # The Windows build has no fleet link, and says so.
                        self.assertEqual(run.returncode, 1, run.stderr)
                        self.assertIn("this build has no fleet link", run.stderr)
                        continue
                    self.assertEqual(run.returncode, 0, run.stderr)

    def test_short_token_is_refused(self):
        with harness.scratch() as folder:
            run, _ = self.check(folder, "")
            self.assertEqual(run.returncode, 0, run.stderr)
            pathlib.Path(folder, "token").write_text("short\n")
            config = harness.service_path(pathlib.Path(folder, "c.toml"))
            run = subprocess.run(harness.service_command("--check", "--config", config),
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 1)
            self.assertIn("token", run.stderr)


if __name__ == "__main__":
    unittest.main()
