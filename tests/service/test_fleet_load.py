"""The fleet link under load and through faults (label fleet-load): 20 sites
(a vexolantd and a virtual printer each) x 50 jobs from the head office,
with kill -9 of a site and of the broker in the middle, and the broker
stopped for 10 s. The head office keeps its rule (re-send, same id and body,
until the terminal event): every job is done exactly once (the virtual
printers' logs hold each text once) or, for the one a site ran at its kill,
unknown and printed at most once; none lost."""

import json
import signal
import subprocess
import sys
import time
import unittest

import harness

SITES = 20
JOBS = 50
RESEND_EVERY_S = 3
LIMIT_S = 240
TERMINAL = ("done", "unknown", "expired", "cancelled", "rejected")


class Office:
    """The head office: sends jobs, listens to events with a persistent
    session (listeners started again after each broker fault), and keeps
    every job's last terminal state."""

    def __init__(self, broker):
        self.broker = broker
        self.watchers = [harness.Watcher(broker, f"{harness.PREFIX}/+/+/events",
                                         session="office-load")]
        self.seen = 0  # messages of the current watcher already read
        self.states = {}  # (site, id) -> terminal state

    def listen_again(self):
        """After the broker came back: a new listener on the same session."""
        self.collect()
        self.watchers[-1].stop()
        self.watchers.append(harness.Watcher(self.broker, f"{harness.PREFIX}/+/+/events",
                                             session="office-load"))
        self.seen = 0

    def collect(self):
        watcher = self.watchers[-1]
        with watcher.condition:
            fresh = watcher.messages[self.seen:]
            self.seen = len(watcher.messages)
        for topic, payload in fresh:
            if not topic.endswith("/events"):
                continue
            site = topic.split("/")[2]
            try:
                event = json.loads(payload)
            except ValueError:
                # A payload overwritten on its way (as a client that sends
                # its publishes again after a reconnect has been seen to).
                raise AssertionError(f"an event that is not JSON on {topic}: {payload!r}")
            if event["state"] in TERMINAL:
                self.states[(site, event["id"])] = event["state"]

    def send(self, jobs):
        """Publishes the jobs, one mosquitto_pub per site (a job a line)."""
        by_site = {}
        for (site, job_id), text in jobs.items():
            by_site.setdefault(site, []).append(
                json.dumps({"id": job_id, "op": "send", "text": text}))
        publishers = []
        for site, lines in by_site.items():
            command = ["mosquitto_pub", "-V", "5", "-h", "127.0.0.1", "-p", str(self.broker.port),
                       "-u", harness.OFFICE, "-P", self.broker.password, "-q", "1",
                       "-t", f"{harness.PREFIX}/{site}/front/jobs", "-l"]
            publisher = subprocess.Popen(command, stdin=subprocess.PIPE,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            publisher.stdin.write(("\n".join(lines) + "\n").encode())
            publisher.stdin.close()
            publishers.append(publisher)
        for publisher in publishers:
            # A publisher cut off by a broker fault fails: its jobs are
            # re-sent with the others that have no terminal event.
            publisher.wait(60)

    def stop(self):
        for watcher in self.watchers[-1:]:
            watcher.stop()


class FleetLoadTest(unittest.TestCase):
    def test_sites_through_kills_and_an_outage(self):
        harness.need_broker()
        names = [f"load-{i:02d}" for i in range(SITES)]
        with harness.scratch() as folder:
            broker = harness.Broker(folder, sites=names)
            office = Office(broker)
            sites = {}
            try:
                for name in names:
                    sites[name] = harness.Site(folder, broker, name)
                jobs = {(name, f"{name}-job-{n:02d}"): f"{name} job {n:02d}"
                        for name in names for n in range(JOBS)}
                started = time.monotonic()
                faults = [
                    (0.25, "kill -9 of a site", lambda: self.kill_site(sites[names[3]])),
                    (0.45, "kill -9 of the broker", lambda: self.kill_broker(broker, office)),
                    (0.65, "the broker stopped for 10 s",
                     lambda: self.stop_broker(broker, office, 10)),
                ]
                office.send(jobs)
                last_send = time.monotonic()
                while True:
                    office.collect()
                    done = len(office.states)
                    if done == len(jobs):
                        break
                    while faults and done >= faults[0][0] * len(jobs):
                        at, name, fault = faults.pop(0)
                        print(f"{name} after {done} jobs", file=sys.stderr)
                        fault()
                    self.assertLess(time.monotonic() - started, LIMIT_S,
                                    f"{len(jobs) - done} jobs without a terminal event")
                    if time.monotonic() - last_send > RESEND_EVERY_S:
                        office.send({key: text for key, text in jobs.items()
                                     if key not in office.states})
                        last_send = time.monotonic()
                    time.sleep(0.2)
                elapsed = time.monotonic() - started
                self.assertEqual(faults, [], "the load ended before every fault came")
                states = list(office.states.values())
                unknown = [key for key, state in office.states.items() if state == "unknown"]
                print(f"{len(jobs)} jobs on {SITES} sites in {elapsed:.1f} s with the faults: "
                      f"{states.count('done')} done, {len(unknown)} unknown", file=sys.stderr)
                self.assertEqual(states.count("done") + len(unknown), len(jobs), set(states))
                # Only the killed site ran a job at its kill.
                self.assertLessEqual(len(unknown), 1, unknown)
                for name, site in sites.items():
                    received = site.printer.received()
                    self.assertEqual(len(received), len(set(received)),
                                     f"{name}: a job printed twice")
                    for n in range(JOBS):
                        key = (name, f"{name}-job-{n:02d}")
                        count = received.count(jobs[key])
                        if office.states[key] == "done":
                            self.assertEqual(count, 1, key)
                        else:
                            self.assertLessEqual(count, 1, key)
            finally:
                for site in sites.values():
                    site.stop()
                office.stop()
                broker.stop()

    @staticmethod
    def kill_site(site):
        site.daemon.stop(signal.SIGKILL)
        site.daemon.start()

    @staticmethod
    def kill_broker(broker, office):
        broker.stop(signal.SIGKILL)
        broker.start()
        office.listen_again()

    @staticmethod
    def stop_broker(broker, office, seconds):
        broker.stop()
        time.sleep(seconds)
        broker.start()
        office.listen_again()


if __name__ == "__main__":
    unittest.main()
