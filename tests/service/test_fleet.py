"""vexolantd's fleet link through a real broker (Debian's mosquitto, with
passwords, the ACL, persistence and TLS): every operation, a re-sent id done
once, the same id with another body, expiry, bad payloads, an unknown
printer, signatures, TLS with the right and a wrong CA, the last will, jobs
queued while the site was stopped, HTTP and broker jobs in one queue, a
kill -9 in the middle of a job, and a broker that lost what came since its
last save."""

import hashlib
import hmac
import json
import pathlib
import signal
import subprocess
import time
import unittest

import harness

RULES = ("X=refuse:4060", "R=report:3:Line %d", "S=block:Ready", "D=delay:1500,ack")
PREFIX = harness.PREFIX


def status_of(payload):
    return json.loads(payload)


class FleetTest(unittest.TestCase):
    """One broker and one site for the cases that leave both running."""

    @classmethod
    def setUpClass(cls):
        harness.need_broker()
        cls.scratch = harness.scratch()
        cls.broker = harness.Broker(cls.scratch.name, sites=("shop-1",))
        cls.watcher = harness.Watcher(cls.broker)
        cls.site = harness.Site(cls.scratch.name, cls.broker, "shop-1", rules=RULES)
        cls.watcher.wait(lambda t, p: t == f"{PREFIX}/shop-1/status" and status_of(p)["online"])

    @classmethod
    def tearDownClass(cls):
        status = cls.site.stop()
        errors = cls.site.daemon.errors()
        cls.watcher.stop()
        cls.broker.stop()
        cls.scratch.cleanup()
        if status != 0:
            raise AssertionError(f"vexolantd ended with {status}:\n{errors}")

    def run_job(self, job, printer="front", properties=()):
        self.broker.send_job("shop-1", printer, job, properties)
        return self.watcher.wait_event("shop-1", job["id"], ("done", "rejected", "expired"))

    def test_every_operation(self):
        cases = (
            ({"op": "check"}, dict(ok=True, value=1, error=0), None),
            ({"op": "read_status"}, dict(ok=True, value=1, status=1, error=0), None),
            ({"op": "send", "text": "hello fleet"}, dict(ok=True, value=1, error=0), None),
            ({"op": "send", "text": "Xno"}, dict(ok=False, value=0, status=1, error=96), None),
            ({"op": "send_lines", "lines": ["one", "two"]}, dict(ok=True, value=2, error=0), None),
            ({"op": "upload_report", "text": "R"}, dict(ok=True, value=1, error=0),
             ["Line 1", "Line 2", "Line 3"]),
            ({"op": "upload_status", "text": "S"}, dict(ok=True, value=1, error=0), ["Ready"]),
        )
        for number, (body, expected, lines) in enumerate(cases):
            with self.subTest(body["op"], number=number):
                job = {"id": f"op-{number}", **body}
                self.broker.send_job("shop-1", "front", job)
                accepted = self.watcher.wait_event("shop-1", job["id"], ("accepted",))
                done = self.watcher.wait_event("shop-1", job["id"], ("done",))
                self.assertEqual(done["printer"], "front")
                self.assertEqual(done["job"], accepted["job"])
                for key, value in expected.items():
                    self.assertEqual(done["result"][key], value, done)
                if lines is not None:
                    self.assertEqual(done["result"]["lines"], lines)
                # The local API shows the same job, with where it came from.
                local = self.site.daemon.request("GET", f"/v1/jobs/{done['job']}").json
                self.assertEqual(local["source"], "fleet")
                self.assertEqual(local["fleet_id"], job["id"])
                self.assertEqual(local["result"], done["result"])
        self.assertIn("hello fleet", self.site.printer.received())

    def test_resent_id_is_answered_not_run_again(self):
        job = {"id": "again-1", "op": "send", "text": "printed once"}
        first = self.run_job(job)
        self.assertEqual(first["state"], "done")
        for attempt in range(1, 3):
            self.broker.send_job("shop-1", "front", job)
            again = self.watcher.wait_event("shop-1", job["id"], ("done",), after=1 + attempt)
            self.assertEqual(again["result"], first["result"])
            self.assertEqual(again["job"], first["job"])
        self.assertEqual(self.site.printer.received().count("printed once"), 1)

    def test_same_id_other_body_is_rejected(self):
        job = {"id": "twice-1", "op": "send", "text": "the first body"}
        first = self.run_job(job)
        self.assertEqual(first["state"], "done")
        self.broker.send_job("shop-1", "front", {**job, "text": "another body"})
        rejected = self.watcher.wait_event("shop-1", job["id"], ("rejected",))
        self.assertIn("another job", rejected["error"])
        local = self.site.daemon.request("GET", f"/v1/jobs/{first['job']}").json
        self.assertEqual(local["state"], "done")
        self.assertNotIn("another body", self.site.printer.received())

    def test_expiry(self):
        past = self.run_job({"id": "exp-past", "op": "send", "text": "too late",
                             "expires": "2000-01-01T00:00:00Z"})
        self.assertEqual(past["state"], "expired")
        future = self.run_job({"id": "exp-future", "op": "send", "text": "in time",
                               "expires": "2999-01-01T00:00:00.5Z"})
        self.assertEqual(future["state"], "done")
        for number, text in enumerate(("tomorrow", "2030-01-01 00:00:00Z", "2030-01-01T00:00:00",
                                       "2030-13-01T00:00:00Z")):
            with self.subTest(text):
                bad = self.run_job({"id": f"exp-bad-{number}", "op": "check", "expires": text})
                self.assertEqual(bad["state"], "rejected")
                self.assertIn("expires", bad["error"])
        received = self.site.printer.received()
        self.assertNotIn("too late", received)
        self.assertIn("in time", received)

    def test_bad_payloads(self):
        rejected = (
            ("unknown op", {"op": "dance"}, "'op'"),
            ("unknown field", {"op": "check", "colour": "red"}, "unknown field"),
            ("missing text", {"op": "send"}, "needs 'text'"),
            ("above latin-1", {"op": "send", "text": "\u20ac"}, "U+00FF"),
            ("over 1 MiB", {"op": "send", "text": "y" * (1 << 20)}, "1 MiB"),
            # The API takes send_lines up to 16 MiB; the broker's jobs not.
            ("lines over 1 MiB", {"op": "send_lines", "lines": ["y" * (1 << 20)]}, "1 MiB"),
        )
        for number, (name, body, words) in enumerate(rejected):
            with self.subTest(name):
                event = self.run_job({"id": f"bad-{number}", **body})
                self.assertEqual(event["state"], "rejected")
                self.assertIn(words, event["error"])
        # No usable id: no event, a line in the log, and the link goes on.
        for payload in (b"not json", b"[1, 2]", b'{"op": "check"}', b'{"id": "a b", "op": "check"}',
                        b'{"id": 7, "op": "check"}', json.dumps({"id": "i" * 65}).encode()):
            self.broker.send_job("shop-1", "front", payload)
        after = self.run_job({"id": "bad-after", "op": "check"})
        self.assertEqual(after["state"], "done")
        self.assertEqual(self.site.daemon.errors().count("without a usable id"), 6)
        self.assertFalse(any("y" * 100 in text for text in self.site.printer.received()))

    def test_unknown_printer(self):
        event = self.run_job({"id": "ghost-1", "op": "check"}, printer="ghost")
        self.assertEqual(event["state"], "rejected")
        self.assertIn("no printer named 'ghost'", event["error"])
        topic, _ = self.watcher.wait(lambda t, p: '"ghost-1"' in p and "rejected" in p)
        self.assertEqual(topic, f"{PREFIX}/shop-1/ghost/events")

    def test_office_command(self):
        cases = (
            ("done", ["send", "shop-1", "front", '{"op": "send", "text": "from the office"}',
                      "--id", "cmd-1"], 0, "done"),
            ("not ok", ["send", "shop-1", "front", '{"op": "send", "text": "Xrefused"}'], 1,
             "done"),
            ("rejected", ["send", "shop-1", "ghost", '{"op": "check"}'], 1, "rejected"),
            ("id in the job", ["send", "shop-1", "front", '{"id": "cmd-2", "op": "check"}'], 0,
             "done"),
            ("again", ["send", "shop-1", "front", '{"op": "send", "text": "from the office"}',
                       "--id", "cmd-1"], 0, "done"),
        )
        for name, args, status, state in cases:
            with self.subTest(name):
                run = self.broker.office_command(*args, "--wait", "20")
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertEqual(json.loads(run.stdout)["state"], state, run.stdout)
        self.assertEqual(self.site.printer.received().count("from the office"), 1)
        for args in (["send", "shop-1", "front", "[1]"], ["send", "shop-1", "front", "{}", "--id",
                                                          "a b"], ["send", "shop-1"], ["dance"]):
            with self.subTest(args=args):
                self.assertEqual(self.broker.office_command(*args).returncode, 2)
        # Nobody answers for a site that is not there.
        silent = self.broker.office_command("send", "no-such-shop", "front", '{"op": "check"}',
                                            "--wait", "1.5", "--every", "0.5")
        self.assertEqual(silent.returncode, 3, silent.stderr)
        self.assertIn("no terminal event", silent.stderr)
        table = self.broker.office_command("status")
        self.assertEqual(table.returncode, 0, table.stderr)
        self.assertRegex(table.stdout, r"(?m)^shop-1\s+yes\s+front\s+(idle|busy|offline)\s+\d+")

    def test_metrics(self):
        before = self.site.daemon.metrics()
        fleet_ok = 'vexolant_jobs_total{source="fleet",op="send",outcome="ok"}'
        http_ok = 'vexolant_jobs_total{source="http",op="send",outcome="ok"}'
        self.assertEqual(self.run_job({"id": "metrics-1", "op": "send", "text": "m"})["state"],
                         "done")
        self.site.daemon.run_job("front", {"op": "send", "text": "m"})
        after = self.site.daemon.metrics()
        self.assertEqual(after[fleet_ok] - before.get(fleet_ok, 0), 1)
        self.assertEqual(after[http_ok] - before.get(http_ok, 0), 1)
        self.assertEqual(after["vexolant_fleet_connected"], 1)
        self.assertEqual(after["vexolant_fleet_events_waiting"], 0)
        self.assertEqual(after['vexolant_queue_jobs{printer="front"}'], 0)
        self.assertEqual(sum(after[f'vexolant_printer_state{{printer="front",state="{state}"}}']
                             for state in ("idle", "busy", "offline")), 1)
        ran = sum(v for k, v in after.items() if k.startswith("vexolant_jobs_total") and
                  'outcome="expired"' not in k and 'outcome="cancelled"' not in k)
        self.assertEqual(after["vexolant_job_duration_seconds_count"], ran)
        self.assertEqual(after['vexolant_job_duration_seconds_bucket{le="+Inf"}'], ran)
        self.assertLessEqual(after['vexolant_job_duration_seconds_bucket{le="0.01"}'],
                             after['vexolant_job_duration_seconds_bucket{le="30"}'])
        self.assertEqual(self.site.daemon.request("GET", "/metrics", token=None).status, 401)

    def test_status_is_retained_and_shows_the_printers(self):
        # A listener that comes later still gets it.
        late = harness.Watcher(self.broker, f"{PREFIX}/shop-1/status")
        try:
            _, payload = late.wait(lambda t, p: t.endswith("/status"))
        finally:
            late.stop()
        status = status_of(payload)
        self.assertTrue(status["online"])
        self.assertEqual(status["site"], "shop-1")
        self.assertEqual([p["name"] for p in status["printers"]], ["front"])
        self.assertIn(status["printers"][0]["state"], ("idle", "busy", "offline"))


class FleetSiteTest(unittest.TestCase):
    """Cases with sites of their own, started and stopped by the case."""

    @classmethod
    def setUpClass(cls):
        harness.need_broker()
        cls.scratch = harness.scratch()
        cls.broker = harness.Broker(
            cls.scratch.name,
            sites=("signed", "tls-good", "tls-bad", "will", "away", "mixed", "crash", "health", "resend"))
        cls.watcher = harness.Watcher(cls.broker)

    @classmethod
    def tearDownClass(cls):
        cls.watcher.stop()
        cls.broker.stop()
        cls.scratch.cleanup()

    def site(self, name, **options):
        site = harness.Site(self.scratch.name, self.broker, name, rules=RULES, **options)

        def stop():
            status = site.stop()
            # None: the case stopped it itself.
            self.assertIn(status, (0, None), site.daemon.errors())
        self.addCleanup(stop)
        return site

    def wait_online(self, name, online=True, after=0, limit_s=30):
        def match(topic, payload):
            return topic == f"{PREFIX}/{name}/status" and status_of(payload)["online"] == online
        deadline = time.monotonic() + limit_s
        while True:
            with self.watcher.condition:
                found = [p for t, p in self.watcher.messages[after:] if match(t, p)]
            if found:
                return status_of(found[-1])
            if time.monotonic() > deadline:
                raise AssertionError(f"{name} not online={online} in {limit_s} s")
            time.sleep(0.1)

    def test_signatures(self):
        key = pathlib.Path(self.scratch.name, "job-key")
        key.write_text("a shared secret for jobs\n")
        site = self.site("signed", fleet_extra=f'job_key_file = "{key}"')
        self.wait_online("signed")

        def signature(data, secret=b"a shared secret for jobs"):
            return hmac.new(secret, data, hashlib.sha256).hexdigest()

        cases = (
            ("signed", "sig-good", lambda d: [("signature", signature(d))], "done"),
            ("unsigned", "sig-none", lambda d: [], "rejected"),
            ("another property", "sig-other", lambda d: [("note", signature(d))], "rejected"),
            ("wrong key", "sig-wrong", lambda d: [("signature", signature(d, b"guess"))],
             "rejected"),
            ("upper case", "sig-upper", lambda d: [("signature", signature(d).upper())],
             "rejected"),
            ("other payload", "sig-replay",
             lambda d: [("signature", signature(d.replace(b"sig-replay", b"sig-good")))],
             "rejected"),
        )
        for name, job_id, properties, state in cases:
            with self.subTest(name):
                data = json.dumps({"id": job_id, "op": "send", "text": f"text of {job_id}"}).encode()
                self.broker.send_job("signed", "front", data, properties(data))
                event = self.watcher.wait_event("signed", job_id, ("done", "rejected"))
                self.assertEqual(event["state"], state, event)
                if state == "rejected":
                    self.assertIn("sign", event["error"])
        received = site.printer.received()
        self.assertEqual(received, ["text of sig-good"])

    def test_tls_with_the_right_and_a_wrong_ca(self):
        good = self.site("tls-good", tls=True)
        other_ca = harness.make_ca(self.scratch.name, "other-ca")
        bad = self.site("tls-bad", tls=True, ca=other_ca[0])
        self.wait_online("tls-good")
        for name in ("tls-good", "tls-bad"):
            self.broker.send_job(name, "front", {"id": f"{name}-1", "op": "send", "text": name})
        self.watcher.wait_event("tls-good", "tls-good-1", ("done",))
        self.assertEqual(good.printer.received(), ["tls-good"])
        # The site with the wrong CA never connects, says why, and keeps
        # serving its local API.
        deadline = time.monotonic() + 10
        while "cannot connect" not in bad.daemon.errors() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIn("cannot connect", bad.daemon.errors())
        self.assertNotIn("connected to", bad.daemon.errors())
        local = bad.daemon.run_job("front", {"op": "send", "text": "local"})
        self.assertEqual(local["state"], "done")
        self.assertEqual(bad.printer.received(), ["local"])
        self.assertEqual(self.watcher.events("tls-bad", "tls-bad-1"), [])

    def test_last_will_and_clean_stop(self):
        site = self.site("will")
        self.wait_online("will")
        mark = len(self.watcher.messages)
        site.daemon.stop(signal.SIGKILL)
        # The broker gives the will after 1.5 keep-alive periods (5 s here).
        started = time.monotonic()
        status = self.wait_online("will", online=False, after=mark, limit_s=20)
        self.assertLess(time.monotonic() - started, 12)
        self.assertEqual(status, {"online": False, "site": "will"})
        site.daemon.start()
        self.wait_online("will", after=mark)
        mark = len(self.watcher.messages)
        self.assertEqual(site.daemon.stop(), 0)
        # A clean stop says so itself, at once, with its time.
        status = self.wait_online("will", online=False, after=mark, limit_s=3)
        self.assertIn("at", status)

    def test_job_sent_while_the_site_was_stopped(self):
        site = self.site("away")
        self.wait_online("away")
        site.daemon.stop()
        for number in range(3):
            self.broker.send_job("away", "front", {"id": f"away-{number}", "op": "send",
                                                   "text": f"while away {number}"})
        site.daemon.start()
        for number in range(3):
            self.watcher.wait_event("away", f"away-{number}", ("done",))
        self.assertEqual(site.printer.received(), [f"while away {n}" for n in range(3)])

    def test_office_command_resends_until_the_site_is_there(self):
        # The site has never connected: the broker holds no session for it
        # and drops what comes before; only the re-sends reach it.
        command = subprocess.Popen(
            self.broker.office_command_line(
                "send", "resend", "front", '{"op": "send", "text": "sent before"}', "--id",
                "resend-1", "--every", "0.3", "--wait", "30"),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1)
        site = self.site("resend")
        out, err = command.communicate(timeout=40)
        self.assertEqual(command.returncode, 0, err)
        self.assertEqual(json.loads(out)["state"], "done")
        self.assertEqual(site.printer.received(), ["sent before"])

    def test_http_and_broker_jobs_share_the_queue(self):
        site = self.site("mixed")
        self.wait_online("mixed")
        # A slow job runs while the others queue behind it in arrival order.
        for text in ("D first, http", "second, http"):
            self.assertEqual(site.daemon.post_job("front", {"op": "send", "text": text}).status, 202)
        self.broker.send_job("mixed", "front", {"id": "mixed-1", "op": "send",
                                                "text": "third, fleet"})
        self.watcher.wait_event("mixed", "mixed-1", ("accepted",))
        last = site.daemon.post_job("front", {"op": "send", "text": "fourth, http"})
        self.assertEqual(last.status, 202)
        site.daemon.wait_job(last.json["id"])
        self.assertEqual(site.printer.received(),
                         ["D first, http", "second, http", "third, fleet", "fourth, http"])
        jobs = site.daemon.request("GET", "/v1/jobs?limit=4").json["jobs"]
        self.assertEqual([(j["source"], j.get("fleet_id")) for j in jobs],
                         [("http", None), ("fleet", "mixed-1"), ("http", None), ("http", None)])

    def test_health_checks_of_an_idle_printer(self):
        site = self.site("health", top="health_interval_s = 1")
        mark = len(self.watcher.messages)
        deadline = time.monotonic() + 15
        while True:
            status = self.wait_online("health", after=mark)
            if status["printers"][0]["last_status"] is not None:
                break
            self.assertLess(time.monotonic(), deadline, status)
            time.sleep(0.2)
        self.assertEqual(status["printers"][0]["last_status"]["error"], 0)
        printers = site.daemon.request("GET", "/v1/printers").json["printers"]
        self.assertIsNotNone(printers[0]["last_status"])
        # Health checks are no jobs.
        self.assertEqual(site.daemon.request("GET", "/v1/jobs").json["jobs"], [])
        time.sleep(1.5)
        self.assertGreaterEqual(site.printer.log_text().count("recv"), 2)

    def test_kill_in_the_middle_of_a_job(self):
        site = self.site("crash")
        self.wait_online("crash")
        self.broker.send_job("crash", "front", {"id": "crash-1", "op": "send", "text": "D slow"})
        self.broker.send_job("crash", "front", {"id": "crash-2", "op": "send", "text": "next"})
        deadline = time.monotonic() + 10
        while "D slow" not in site.printer.received() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.watcher.wait_event("crash", "crash-2", ("accepted",))
        site.daemon.stop(signal.SIGKILL)
        site.daemon.start()
        # The one that ran is unknown, published after the restart; the one
        # queued runs; neither is printed again when re-sent.
        self.assertEqual(self.watcher.wait_event("crash", "crash-1", ("unknown",))["state"],
                         "unknown")
        self.watcher.wait_event("crash", "crash-2", ("done",))
        for job in ({"id": "crash-1", "op": "send", "text": "D slow"},
                    {"id": "crash-2", "op": "send", "text": "next"}):
            count = len(self.watcher.events("crash", job["id"]))
            self.broker.send_job("crash", "front", job)
            again = self.watcher.wait_event("crash", job["id"], ("unknown", "done"), after=count)
            self.assertIn(again["state"], ("unknown", "done"))
        self.assertEqual(site.printer.received(), ["D slow", "next"])


class FleetOutageTest(unittest.TestCase):
    """The broker stopped in the middle of a job: the local API goes on, the
    link comes back by itself and the job's event, kept in the journal,
    reaches the head office."""

    def test_broker_away_while_a_job_runs(self):
        harness.need_broker()
        with harness.scratch() as folder:
            broker = harness.Broker(folder, sites=("outage",))
            watcher = harness.Watcher(broker, session="office-events")
            site = harness.Site(folder, broker, "outage", rules=RULES)
            try:
                watcher.wait(lambda t, p: t == f"{PREFIX}/outage/status")
                broker.send_job("outage", "front", {"id": "out-1", "op": "send", "text": "D long"})
                watcher.wait_event("outage", "out-1", ("accepted",))
                watcher.stop()
                broker.stop()
                local = site.daemon.run_job("front", {"op": "send", "text": "while away"})
                self.assertEqual(local["state"], "done")
                broker.start()
                watcher = harness.Watcher(broker, session="office-events")
                done = watcher.wait_event("outage", "out-1", ("done",))
                self.assertTrue(done["result"]["ok"])
                self.assertEqual(site.printer.received(), ["D long", "while away"])
                self.assertIn("connection lost", site.daemon.errors())
            finally:
                self.assertEqual(site.stop(), 0)
                watcher.stop()
                broker.stop()

    def test_broker_that_lost_what_came_since_its_last_save(self):
        # A head office's broker saves every few seconds: a kill -9 loses the
        # site's session, the jobs queued in it and the events on their way.
        # The office's re-sends bring the lost job back, and the job done
        # already is answered again, not printed again.
        harness.need_broker()
        with harness.scratch() as folder:
            broker = harness.Broker(folder, sites=("lossy",), save_every_s=3600)
            site = harness.Site(folder, broker, "lossy", rules=RULES)

            def office_send(job_id, text):
                run = subprocess.run(
                    broker.office_command_line(
                        "send", "lossy", "front", json.dumps({"op": "send", "text": text}),
                        "--id", job_id, "--every", "0.3", "--wait", "30"),
                    capture_output=True, text=True, timeout=40)
                self.assertEqual(run.returncode, 0, run.stderr + site.daemon.errors())
                return json.loads(run.stdout)

            try:
                first = office_send("lossy-1", "before the crash")
                site.daemon.stop()
                broker.send_job("lossy", "front",
                                {"id": "lossy-2", "op": "send", "text": "queued at the broker"})
                broker.stop(signal.SIGKILL)
                broker.start()
                site.daemon.start()
                self.assertEqual(office_send("lossy-2", "queued at the broker")["state"], "done")
                # Now while the site stays connected: it must subscribe again
                # on the new connection, the broker having lost that too.
                broker.stop(signal.SIGKILL)
                broker.start()
                self.assertEqual(office_send("lossy-3", "after the second crash")["state"], "done")
                again = office_send("lossy-1", "before the crash")
                self.assertEqual((again["state"], again["job"]), ("done", first["job"]))
                self.assertEqual(site.printer.received(),
                                 ["before the crash", "queued at the broker",
                                  "after the second crash"])
            finally:
                self.assertEqual(site.stop(), 0)
                broker.stop()


if __name__ == "__main__":
    unittest.main()
