#!/usr/bin/env python3
"""The service's rows of the benchmark: what vexolantd adds to a job, and how
its printers run in parallel, against virtual printers (complete read end).

- check: one `check` job through HTTP (POST, then GET ?wait on one
  keep-alive connection) against the library's own call on the same virtual
  printer, with the port opened and closed around it as the service does for
  a job that finds its queue empty; medians of N runs, one run each in turn.
- parallel: 40 `send` jobs on one printer, then 40 on each of four printers
  (each printer answers 20 ms late, as a real one at 9600 baud does); the
  ratio of the jobs per second.

Run it through `scripts/bench --service`, which builds the release preset.
Python's standard library only; the library is called through ctypes.
"""

import argparse
import ctypes
import http.client
import json
import os
import re
import selectors
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOKEN = "bench-token-0123456789abcdef"


def first_line(process, limit_s=10):
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        if not selector.select(limit_s):
            raise RuntimeError("no answer from a child process")
    return process.stdout.readline().decode().strip()


class Api:
    """The service's API on one keep-alive connection."""

    def __init__(self, port, token):
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        self.headers = {"Authorization": f"Bearer {token}", "Content-Type": "application/json",
                        "Host": f"127.0.0.1:{port}"}

    def call(self, method, path, body=None):
        self.connection.request(method, path, None if body is None else json.dumps(body),
                                self.headers)
        answer = self.connection.getresponse()
        data = json.loads(answer.read())
        if answer.status >= 300:
            raise RuntimeError(f"{method} {path}: {answer.status} {data}")
        return data

    def close(self):
        self.connection.close()


class Bench:
    def __init__(self, build, folder, printers, rules=(), journal_dir=None):
        self.folder = folder
        self.sims = []
        for i in range(printers):
            command = [str(build / "tools/sim/vexolant-sim"), "--log", f"{folder}/p{i}.log"]
            for rule in rules:
                command += ["--rule", rule]
            process = subprocess.Popen(command, stdout=subprocess.PIPE)
            self.sims.append((process, first_line(process)))
        Path(folder, "token").write_text(TOKEN + "\n")
        journal = f"{journal_dir or folder}/jobs.db"
        lines = ['listen = "127.0.0.1:0"', f'journal = "{journal}"',
                 f'token_file = "{folder}/token"']
        for i, (_, device) in enumerate(self.sims):
            lines += ["[[printer]]", f'name = "p{i}"', f'port = "{device}"',
                      'read_end = "complete"']
        Path(folder, "c.toml").write_text("\n".join(lines) + "\n")
        self.daemon = subprocess.Popen([str(build / "src/service/vexolantd"), "--config",
                                        f"{folder}/c.toml"], stdout=subprocess.PIPE)
        port = int(re.search(r":(\d+),", first_line(self.daemon)).group(1))
        self.api = Api(port, TOKEN)
        self.call = self.api.call

    def job(self, printer, body):
        job = self.call("POST", f"/v1/printers/{printer}/jobs", body)
        return self.call("GET", f"/v1/jobs/{job['id']}?wait=60")

    def close(self):
        self.api.close()
        self.daemon.terminate()
        self.daemon.wait(30)
        for process, _ in self.sims:
            process.terminate()
            process.wait(30)


def check_rows(build, runs, journal_dir=None):
    library = ctypes.CDLL(str(build / "src/libvexolant.so.1"))
    library.vexolant_open_wait.argtypes = [ctypes.c_char_p, ctypes.c_int32,
                                           ctypes.POINTER(ctypes.c_void_p)]
    library.vexolant_check.argtypes = [ctypes.c_void_p]
    library.vexolant_set_read_end.argtypes = [ctypes.c_void_p, ctypes.c_int32]
    library.vexolant_close.argtypes = [ctypes.c_void_p]
    with tempfile.TemporaryDirectory() as folder:
        bench = Bench(build, folder, 1, journal_dir=journal_dir)
        device = bench.sims[0][1].encode()
        through_service, through_library = [], []
        try:
            for _ in range(5):  # warm up both
                bench.job("p0", {"op": "check"})
            for _ in range(runs):
                start = time.perf_counter()
                job = bench.job("p0", {"op": "check"})
                through_service.append(time.perf_counter() - start)
                assert job["state"] == "done" and job["result"]["ok"], job
                start = time.perf_counter()
                port = ctypes.c_void_p()
                assert library.vexolant_open_wait(device, 5000, ctypes.byref(port)) == 0
                library.vexolant_set_read_end(port, 1)
                assert library.vexolant_check(port) == 1
                library.vexolant_close(port)
                through_library.append(time.perf_counter() - start)
        finally:
            bench.close()
    service_ms = statistics.median(through_service) * 1000
    library_ms = statistics.median(through_library) * 1000
    return service_ms, library_ms


def parallel_rows(build, jobs):
    seconds = {}
    for printers in (1, 4):
        with tempfile.TemporaryDirectory() as folder:
            bench = Bench(build, folder, printers, ("=delay:20,ack",))
            try:
                bench.job("p0", {"op": "check"})
                start = time.perf_counter()
                last = {}
                for n in range(jobs):
                    for p in range(printers):
                        last[p] = bench.call("POST", f"/v1/printers/p{p}/jobs",
                                             {"op": "send", "text": f"job {n}"})["id"]
                for p, job_id in last.items():
                    while bench.call("GET", f"/v1/jobs/{job_id}?wait=60")["state"] != "done":
                        pass
                seconds[printers] = time.perf_counter() - start
            finally:
                bench.close()
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release", type=Path)
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--jobs", type=int, default=40)
    parser.add_argument("--memory-journal", action="store_true",
                        help="also a row with the journal on /dev/shm: the service without "
                        "the disk's flushes")
    args = parser.parse_args()
    service_ms, library_ms = check_rows(args.build, args.runs)
    memory_ms = None
    if args.memory_journal:
        with tempfile.TemporaryDirectory(dir="/dev/shm") as shm:
            memory_ms, _ = check_rows(args.build, args.runs, shm)
    seconds = parallel_rows(args.build, args.jobs)
    ratio = (4 * args.jobs / seconds[4]) / (args.jobs / seconds[1])
    print(f"| Row | Figure | Target |\n|---|---|---|")
    print(f"| `check` through the library (open, check, close), median of {args.runs} "
          f"| {library_ms:.2f} ms | |")
    print(f"| `check` through vexolantd (POST, GET ?wait), median of {args.runs} "
          f"| {service_ms:.2f} ms | |")
    print(f"| added by the service | {service_ms - library_ms:.2f} ms | at most 3 ms |")
    if memory_ms is not None:
        print(f"| added by the service, journal on /dev/shm (no disk flush) "
              f"| {memory_ms - library_ms:.2f} ms | |")
    print(f"| {args.jobs} jobs on 1 printer | {seconds[1]:.2f} s "
          f"({args.jobs / seconds[1]:.1f} jobs/s) | |")
    print(f"| {args.jobs} jobs on each of 4 printers | {seconds[4]:.2f} s "
          f"({4 * args.jobs / seconds[4]:.1f} jobs/s) | |")
    print(f"| 4 printers against 1 | {ratio:.2f} x | at least 3.5 x |")
    return 0 if service_ms - library_ms <= 3 and ratio >= 3.5 else 1


if __name__ == "__main__":
    sys.exit(main())
