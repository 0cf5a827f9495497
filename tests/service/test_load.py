"""vexolantd under load and through a crash, against two virtual printers
(complete read end).

Load: 50 clients with 20 jobs each: every job done exactly once (the
printers' logs hold each text once), each client's jobs in its order, no
frame broken by another, memory flat.
Crash: kill -9 while clients post, restart: every accepted job done once or,
for the one a printer was running, unknown; none lost, none run twice."""

import collections
import os
import re
import signal
import threading
import time
import unittest

import harness

CLIENTS = 50
JOBS_PER_CLIENT = 20
# Growth of the service's resident memory over the load that counts as flat.
RSS_GROWTH_LIMIT_KIB = 16 * 1024


def frames_are_whole(log_text):
    """Every byte the printer received belongs to a whole frame, an ENQ or an
    ACK, and the printer never answered NAK: no frame was broken."""
    for line in log_text.splitlines():
        match = re.match(r"\s*[\d.]+ (recv|send) (.*)$", line)
        if not match:
            continue
        direction, what = match.groups()
        if direction == "send" and "<NAK>" in what:
            return False, line
        if direction == "recv" and not (
                what in ("<ENQ>", "<ACK>") or
                re.fullmatch(r"<STX>[^<]*<ETX><LRC 0x[0-9A-F]{2}>", what)):
            return False, line
    return True, ""


def with_two_printers(test, rules, body):
    """Runs body(daemon, printers) with the service in front of two virtual
    printers p0 and p1 (complete read end) that answer by the given rules;
    the service must then stop with status 0."""
    with harness.scratch() as folder:
        printers = [harness.Printer(folder, f"p{i}", rules) for i in range(2)]
        daemon = harness.Daemon(folder, [(f"p{i}", p.device, "complete")
                                         for i, p in enumerate(printers)])
        try:
            body(daemon, printers)
        finally:
            status = daemon.stop()
            for printer in printers:
                printer.stop()
        test.assertEqual(status, 0)


class LoadTest(unittest.TestCase):
    def test_fifty_clients_twenty_jobs_each(self):
        with_two_printers(self, (), self.run_load)

    def run_load(self, daemon, printers):
        # A first round brings the service to its working size.
        for i in range(40):
            daemon.post_job(f"p{i % 2}", {"op": "send", "text": f"warm {i}"})
        daemon.wait_job(daemon.request("GET", "/v1/jobs?limit=1").json["jobs"][0]["id"])
        rss_before = daemon.rss_kib()

        ids = collections.defaultdict(list)
        failures = []
        start = time.monotonic()

        def client(number):
            printer = f"p{number % 2}"
            for job in range(JOBS_PER_CLIENT):
                try:
                    answer = daemon.post_job(printer,
                                             {"op": "send", "text": f"c{number:02d} j{job:02d}"})
                except OSError as error:
                    failures.append(f"client {number}, job {job}: {error}")
                    return
                if answer.status != 202:
                    failures.append(answer)
                    return
                ids[number].append(answer.json["id"])

        threads = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [])
        for number in range(CLIENTS):
            daemon.wait_job(ids[number][-1], limit_s=120)
        elapsed = time.monotonic() - start
        for number in range(CLIENTS):
            for job_id in ids[number]:
                job = daemon.request("GET", f"/v1/jobs/{job_id}").json
                self.assertEqual(job["state"], "done", job)
                self.assertTrue(job["result"]["ok"], job)
        rss_after = daemon.rss_kib()
        print(f"\n{CLIENTS * JOBS_PER_CLIENT} jobs in {elapsed:.1f} s; "
              f"RSS {rss_before} KiB before, {rss_after} KiB after")

        received = [p.received() for p in printers]
        everything = collections.Counter(received[0] + received[1])
        for number in range(CLIENTS):
            texts = [f"c{number:02d} j{job:02d}" for job in range(JOBS_PER_CLIENT)]
            for text in texts:
                self.assertEqual(everything[text], 1, text)
            own = [t for t in received[number % 2] if t.startswith(f"c{number:02d} ")]
            self.assertEqual(own, texts)
        for printer in printers:
            whole, line = frames_are_whole(printer.log_text())
            self.assertTrue(whole, line)
        if not os.environ.get("VEXOLANT_SANITIZED"):
            self.assertLess(rss_after - rss_before, RSS_GROWTH_LIMIT_KIB)


class CrashTest(unittest.TestCase):
    def test_kill_in_the_middle_and_restart(self):
        # Each command is acknowledged 20 ms late: a job is running when the
        # kill comes.
        with_two_printers(self, ("=delay:20,ack",), self.crash_and_recover)

    def crash_and_recover(self, daemon, printers):
        accepted = {}  # id -> text
        lock = threading.Lock()
        enough = threading.Event()

        def client(number):
            for job in range(40):
                text = f"c{number:02d} j{job:02d}"
                try:
                    answer = daemon.post_job(f"p{number % 2}", {"op": "send", "text": text})
                except OSError:
                    return  # the service is gone
                if answer.status != 202:
                    return
                with lock:
                    accepted[answer.json["id"]] = text
                    if len(accepted) >= 120:
                        enough.set()

        threads = [threading.Thread(target=client, args=(n,)) for n in range(10)]
        for thread in threads:
            thread.start()
        self.assertTrue(enough.wait(60), "120 jobs were not accepted within 60 s")
        daemon.process.send_signal(signal.SIGKILL)
        daemon.process.wait(harness.STOP_LIMIT_S)
        daemon.process.stdout.close()
        daemon.stderr.close()
        for thread in threads:
            thread.join(60)
        with lock:
            accepted = dict(accepted)
        done_before = sum(len(p.received()) for p in printers)

        daemon.start()
        # Every job the journal holds, accepted or not yet answered.
        last = daemon.request("GET", "/v1/jobs?limit=1").json["jobs"][0]["id"]
        jobs = {}
        for job_id in range(1, last + 1):
            answer = daemon.request("GET", f"/v1/jobs/{job_id}")
            self.assertEqual(answer.status, 200, f"job {job_id} is lost")
            jobs[job_id] = daemon.wait_job(job_id, limit_s=60)
        self.assertTrue(set(accepted) <= set(jobs), "an accepted job is lost")

        received = collections.Counter(printers[0].received() + printers[1].received())
        unknown = [j for j in jobs.values() if j["state"] == "unknown"]
        print(f"\n{len(accepted)} accepted, {len(jobs)} in the journal, {done_before} sent "
              f"before the kill, {len(unknown)} unknown")
        self.assertLessEqual(len(unknown), 2)  # at most one per printer
        for job_id, job in jobs.items():
            self.assertIn(job["state"], ("done", "unknown"), job)
            text = accepted.get(job_id)
            if text is None:
                continue
            if job["state"] == "done":
                self.assertEqual(received[text], 1, f"{text}: {job}")
            else:
                self.assertLessEqual(received[text], 1, f"{text}: {job}")
        # Nothing was sent twice, and nothing that no job holds.
        for text, count in received.items():
            self.assertEqual(count, 1, text)


if __name__ == "__main__":
    unittest.main()
