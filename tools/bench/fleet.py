#!/usr/bin/env python3
"""The fleet link's rows of the benchmark, through Debian's mosquitto on
loopback (the service tests' broker fixture):

- check: one `check` job through the broker (publish to done event, by
  vexolant-bench-fleet on Eclipse Paho C) against the same job through the
  site's HTTP API (POST, then GET ?wait on one keep-alive connection), same
  site and printer, one of each in turn; medians of N runs.
- sites: N check jobs to each of 20 sites at once (a vexolantd and a virtual
  printer each, journals on /dev/shm, as each real shop has its own disk)
  against N to one site; the ratio of the jobs per second.

The broker saves its database as contrib/mosquitto/vexolant.conf has it
(autosave_interval), not after every change as the fault tests' broker
does: that writes the whole database once per message, some 3000 times a
second here, and would measure the broker's disk instead of the sites.

Run it through `scripts/bench --fleet`, which builds the release preset.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "service"))
import harness  # noqa: E402
from service import Api  # noqa: E402

SITES = 20
HEAD_OFFICE_CONF = Path(__file__).resolve().parents[2] / "contrib" / "mosquitto" / "vexolant.conf"


def head_office_autosave():
    """The broker's autosave_interval in the head office's configuration."""
    for line in HEAD_OFFICE_CONF.read_text().splitlines():
        words = line.split()
        if len(words) == 2 and words[0] == "autosave_interval":
            return int(words[1])
    raise RuntimeError(f"{HEAD_OFFICE_CONF}: no autosave_interval")


class Shop(harness.Site):
    """A site (harness.Site), its journal in journal_dir, and its HTTP API."""

    def __init__(self, folder, broker, name, journal_dir):
        super().__init__(folder, broker, name, journal=os.path.join(journal_dir, f"{name}.db"))
        self.api = Api(self.daemon.port, harness.TOKEN)

    def http_check(self):
        job = self.api.call("POST", "/v1/printers/front/jobs", {"op": "check"})
        job = self.api.call("GET", f"/v1/jobs/{job['id']}?wait=60")
        assert job["state"] == "done" and job["result"]["ok"], job

    def stop(self):
        self.api.close()
        return super().stop()


def office(build, broker, sites, jobs, mode):
    password_file = os.path.join(broker.folder, "office.password")
    Path(password_file).write_text(broker.password + "\n")
    run = subprocess.run(
        [str(build / "tools/bench/vexolant-bench-fleet"), "--broker", broker.url(), "--username",
         harness.OFFICE, "--password-file", password_file, "--sites", ",".join(sites),
         "--printer", "front", "--jobs", str(jobs), mode],
        capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        raise RuntimeError(f"vexolant-bench-fleet {mode}: {run.returncode} {run.stderr}")
    return [float(line) for line in run.stdout.split()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release", type=Path)
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--jobs", type=int, default=50, help="jobs per site in the sites rows")
    args = parser.parse_args()
    os.environ["VEXOLANTD"] = str(args.build / "src/service/vexolantd")
    os.environ["VEXOLANT_SIM"] = str(args.build / "tools/sim/vexolant-sim")
    names = [f"bench-{i:02d}" for i in range(SITES)]
    with tempfile.TemporaryDirectory() as folder, \
            tempfile.TemporaryDirectory(dir="/dev/shm") as shm:
        broker = harness.Broker(folder, sites=names, save_every_s=head_office_autosave())
        shops = []
        try:
            shops = [Shop(folder, broker, name, shm) for name in names]
            first = shops[0]
            for _ in range(5):  # warm up both paths
                first.http_check()
                office(args.build, broker, names[:1], 1, "latency")
            through_http, through_broker = [], []
            for _ in range(args.runs):
                start = time.perf_counter()
                first.http_check()
                through_http.append((time.perf_counter() - start) * 1000)
                through_broker += office(args.build, broker, names[:1], 1, "latency")
            one = office(args.build, broker, names[:1], args.jobs, "rate")[0]
            many = office(args.build, broker, names, args.jobs, "rate")[0]
        finally:
            for shop in shops:
                shop.stop()
            broker.stop()
    http_ms = statistics.median(through_http)
    broker_ms = statistics.median(through_broker)
    ratio = (SITES * args.jobs / many) / (args.jobs / one)
    print("| Row | Figure | Target |\n|---|---|---|")
    print(f"| `check` through the site's HTTP API (POST, GET ?wait), median of {args.runs} "
          f"| {http_ms:.2f} ms | |")
    print(f"| `check` through the broker (publish to done event), median of {args.runs} "
          f"| {broker_ms:.2f} ms | |")
    print(f"| added by the broker's path | {broker_ms - http_ms:.2f} ms | at most 2 ms |")
    print(f"| {args.jobs} jobs to 1 site | {one:.2f} s ({args.jobs / one:.1f} jobs/s) | |")
    print(f"| {args.jobs} jobs to each of {SITES} sites | {many:.2f} s "
          f"({SITES * args.jobs / many:.1f} jobs/s) | |")
    print(f"| {SITES} sites against 1 | {ratio:.2f} x | at least 10 x |")
    return 0 if broker_ms - http_ms <= 2 and ratio >= 10 else 1


if __name__ == "__main__":
    sys.exit(main())
