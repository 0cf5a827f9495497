#!/usr/bin/env python3
"""The benchmark of vexolant against the virtual printer.

Each scenario runs whole processes of the tool (the release build) several
times, each run followed by a run of a process that does nothing, so that
drift of the machine hits both. For each scenario it reports the median, min
and max wall time, the median user+sys CPU time, the peak RSS, the protocol's
floor and the ratio (median - null-process median) / floor. Rows marked
"printer" are intervals measured at the printer, from the stamps of its log.

Run it through scripts/bench, which builds what it needs first. Only the
Python standard library is used; each process is started and measured by
vexolant-bench-run (tools/bench/run.cpp).
"""

import argparse
import csv
import datetime
import os
import re
import select
import shutil
import signal
import socket
import statistics
import time
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

ROOT = Path(__file__).resolve().parents[2]

# The protocol's waits, in milliseconds.
PAUSE = 10  # after each request (and each ACK of a block), before its read
READ_END = 50  # a read ends this long after the last byte of a reply (by default)
NAK_PAUSE = 1500  # after a NAK that another attempt follows
PER_BYTE = 1000  # a read of n bytes gives up after n x this when nothing comes
STATUS_READ = 9  # bytes asked per read of a reply or status frame
REPORT_READ = 5  # bytes asked per read of a report


@dataclass
class Floors:
    """The protocol's waits that a mode of reading keeps: by default a read
    ends 50 ms after a whole reply and the read after a report's last block
    waits 5 s for bytes; with VEXOLANT_READ_END=complete a whole reply ends
    its read at once and that last read waits 50 ms."""

    read_end: float
    report_tail: float

    @property
    def exchange(self) -> float:
        return PAUSE + self.read_end


DEFAULT_FLOORS = Floors(read_end=READ_END, report_tail=REPORT_READ * PER_BYTE)
COMPLETE_FLOORS = Floors(read_end=0, report_tail=READ_END)

# The process that does nothing, run after each run of the tool.
NULL_PROCESS = "/bin/true" if os.path.exists("/bin/true") else "true"

# Runs per scenario class, by default and with --quick (0: skipped).
RUNS = {"fast": 20, "slow": 3, "silent": 1, "network": 20}
QUICK_RUNS = {"fast": 3, "slow": 1, "silent": 0, "network": 3}

REPORT_BLOCKS = 100
REPORT_TEXT = "Report line of forty bytes, a fixed text"  # 40 bytes
FILE_LINES = 200
READ_END_LINES = 20
READ_END_DELAY = 20  # the printer's delay, so that each ACK comes while a read runs
assert len(REPORT_TEXT) == 40


@dataclass
class Sample:
    wall_ms: float
    cpu_ms: float
    rss_kib: int
    exit_status: int


def run_process(runner: Path, argv: list, env: dict, out_path: str) -> Sample:
    """Runs one process through vexolant-bench-run (tools/bench/run.cpp), which
    times it on the monotonic clock and takes its CPU time and peak RSS from
    wait4; stdin is /dev/null, stdout and stderr go to out_path, made anew:
    ext4 flushes a file that was truncated and written again when it is
    closed, which would add about 0.7 ms to each run that prints."""
    Path(out_path).unlink(missing_ok=True)
    done = subprocess.run([str(runner), out_path] + argv, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, check=False)
    fields = done.stdout.split()
    if done.returncode != 0 or len(fields) != 4:
        raise RuntimeError(f"{argv[0]} did not run: {done.stderr.strip()}")
    wall_us, cpu_us, rss_kib, status = (int(f) for f in fields)
    return Sample(wall_us / 1000, cpu_us / 1000, rss_kib, status)


# --- The printer's log -------------------------------------------------------

LOG_LINE = re.compile(r"\s*(\d+)\.(\d{3}) (recv|send|note) (.*)")


@dataclass
class Logged:
    ms: float  # since the printer started
    kind: str
    text: str


def parse_log(text: str) -> list:
    entries = []
    for line in text.splitlines():
        m = LOG_LINE.fullmatch(line)
        if m:
            entries.append(Logged(int(m[1]) + int(m[2]) / 1000, m[3], m[4]))
    return entries


def exchanges(log: list) -> list:
    return [e for e in log if e.kind in ("recv", "send")]


def after_sent(sent: str, minus: float) -> Callable:
    """From each `sent` the printer sent to the next byte or frame it received
    in the same run, less `minus`."""

    def measure(log: list) -> list:
        lines = exchanges(log)
        out = []
        for i, e in enumerate(lines):
            if e.kind == "send" and e.text == sent:
                nxt = next((n for n in lines[i + 1 :] if n.kind == "recv"), None)
                if nxt is not None:
                    out.append(nxt.ms - e.ms - minus)
        return out

    return measure


def between_received(received: str, minus: float) -> Callable:
    """From each `received` to the next one, with nothing sent between, less
    `minus`."""

    def measure(log: list) -> list:
        lines = exchanges(log)
        return [
            b.ms - a.ms - minus
            for a, b in zip(lines, lines[1:])
            if a.kind == b.kind == "recv" and a.text == b.text == received
        ]

    return measure


def answer_time(log: list) -> list:
    """From each request or ACK received to the first byte sent in answer."""
    lines = exchanges(log)
    return [
        b.ms - a.ms
        for a, b in zip(lines, lines[1:])
        if a.kind == "recv" and b.kind == "send" and not a.text.endswith("(ignored)")
    ]


@dataclass
class Measure:
    name: str
    floor_ms: float
    samples: Callable  # the log lines of one run -> intervals in ms


class Printer:
    """vexolant-sim on a pseudo-terminal, writing its device path to the
    home's port file and its log to a file."""

    def __init__(self, sim: Path, home: Path, options: list):
        self.log_path = home / "printer.log"
        self.proc = subprocess.Popen(
            [str(sim), "--port-file", str(home / "Puerto.dat"), "--log", str(self.log_path)]
            + options,
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
        )
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        if not ready or not self.proc.stdout.readline().startswith(b"/dev/"):
            self.stop()
            raise RuntimeError("the virtual printer did not start: " + " ".join(options))

    def offset(self) -> int:
        return self.log_path.stat().st_size

    def log(self, start: int, end: Optional[int]) -> list:
        with open(self.log_path, "rb") as f:
            f.seek(start)
            data = f.read() if end is None else f.read(end - start)
        return parse_log(data.decode("latin-1"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port: int) -> bool:
    wanted = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as table:
        return any(f[1] == wanted and f[3] == "0A"
                   for f in (line.split() for line in table) if len(f) > 3)


class Ser2net:
    """Debian's ser2net in the foreground in front of the printer's device:
    one raw tcp accepter and one telnet(rfc2217) accepter on free loopback
    ports; stopped by its pid."""

    def __init__(self, home: Path, device: str):
        self.ports = {"tcp": free_port(), "rfc2217": free_port()}
        config = home / "ser2net.yaml"
        config.write_text(
            "%YAML 1.1\n---\n"
            "connection: &raw\n"
            f"  accepter: tcp,127.0.0.1,{self.ports['tcp']}\n"
            f"  connector: serialdev,{device},9600e81,local\n"
            "connection: &rfc2217\n"
            f"  accepter: telnet(rfc2217),tcp,127.0.0.1,{self.ports['rfc2217']}\n"
            f"  connector: serialdev,{device},9600e81,local\n")
        self.proc = subprocess.Popen(["ser2net", "-n", "-d", "-u", "-c", str(config)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not all(listening(p) for p in self.ports.values()):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("ser2net did not start listening")
            time.sleep(0.005)

    def name(self, scheme: str) -> str:
        return f"{scheme}://127.0.0.1:{self.ports[scheme]}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


# --- Scenarios ----------------------------------------------------------------


@dataclass
class Scenario:
    name: str
    about: str
    args: list  # the tool's arguments; {home} stands for its working directory
    floor_ms: float
    kind: str  # fast, slow or silent: sets the number of runs
    sim: Optional[list] = None  # the printer's options; None: no printer
    result: Optional[str] = None  # start of Status_Error.txt after each run
    files: dict = field(default_factory=dict)  # files to write into the home
    measures: list = field(default_factory=list)
    program: str = "tool"  # which program runs: "tool", or "api" (the library)
    network: Optional[str] = None  # "tcp" or "rfc2217": the printer behind ser2net
    read_end: Optional[str] = None  # "gap" or "complete" whatever the mode; None: the mode's
    exit_status: int = 0  # expected when there is no result file to check


def command_file(count: int) -> str:
    return "".join(f"Command {i:03d}\r\n" for i in range(1, count + 1))


def scenarios(floors: Floors = DEFAULT_FLOORS) -> list:
    exchange = floors.exchange
    report_floor = (
        exchange  # the command's read ends after the ENQ
        + REPORT_BLOCKS * exchange  # per block: the pause after the ACK, the read
        + PAUSE
        + floors.report_tail  # after the last block: a read that brings nothing
    )
    silent_read = PAUSE + STATUS_READ * PER_BYTE
    return [
        Scenario("check", "CheckFprinter: ENQ, a status frame", ["CheckFprinter"], exchange,
                 "fast", sim=[], result="TRUE"),
        # A read of 9 bytes ends as soon as the 9 bytes are in: no 50 ms wait.
        Scenario("status9", "ReadFpStatus: ENQ, a 9-byte status frame", ["ReadFpStatus"],
                 PAUSE, "fast", sim=["--status", "400000000000"], result="TRUE"),
        Scenario("send", "SendCmd(abc): ACK", ["SendCmd(abc)"], exchange, "fast", sim=[],
                 result="TRUE"),
        Scenario("refused", "SendCmd refused: ENQ, ACK, a status frame", ["SendCmd(Xabc)"],
                 2 * exchange, "fast", sim=["--rule", "X=refuse:4060"], result="FALSE\t1\t96"),
        Scenario("upload-status", "UploadStatusCmd: one block", ["UploadStatusCmd(S)"],
                 exchange, "fast", sim=["--rule", "S=block:Printer ready"], result="TRUE"),
        Scenario("nak", "SendCmd: NAK, then ACK", ["SendCmd(Nabc)"],
                 exchange + NAK_PAUSE + exchange, "slow", sim=["--rule", "N=nak:1"],
                 result="TRUE",
                 measures=[Measure("NAK pause", NAK_PAUSE, after_sent("<NAK>", exchange))]),
        Scenario("sendfile", f"SendFileCmd: {FILE_LINES} commands, all ACKed",
                 ["SendFileCmd({home}/commands.txt)"], FILE_LINES * exchange, "slow", sim=[],
                 result=str(FILE_LINES), files={"commands.txt": command_file(FILE_LINES)},
                 measures=[Measure("printer's answer", 0, answer_time)]),
        Scenario("report", f"UploadReportCmd: {REPORT_BLOCKS} blocks of 40 bytes",
                 ["UploadReportCmd(R)"], report_floor, "slow",
                 sim=["--rule", f"R=report:{REPORT_BLOCKS}:{REPORT_TEXT}"], result="TRUE",
                 measures=[Measure("printer's answer", 0, answer_time)]),
        # Each ACK comes while the read already runs, so that the printer sees
        # the silence that ends the read: from its ACK to the next command.
        Scenario("read-end", f"SendFileCmd: {READ_END_LINES} commands ACKed after "
                 f"{READ_END_DELAY} ms", ["SendFileCmd({home}/commands.txt)"],
                 READ_END_LINES * (READ_END_DELAY + floors.read_end), "slow",
                 sim=["--rule", f"=delay:{READ_END_DELAY}"], result=str(READ_END_LINES),
                 files={"commands.txt": command_file(READ_END_LINES)},
                 measures=[Measure("read end", floors.read_end, after_sent("<ACK>", 0))]),
        Scenario("timeout", "ReadFpStatus: the first ENQ unanswered", ["ReadFpStatus"],
                 silent_read + exchange, "silent", sim=["--enq", "silent:1"], result="TRUE",
                 measures=[Measure("9-byte read time-out", STATUS_READ * PER_BYTE,
                                   between_received("<ENQ>", PAUSE))]),
        Scenario("silent", "CheckFprinter: a silent printer", ["CheckFprinter"],
                 3 * silent_read, "silent", sim=["--enq", "silent"], result="FALSE",
                 measures=[Measure("9-byte read time-out", STATUS_READ * PER_BYTE,
                                   between_received("<ENQ>", PAUSE))]),
        Scenario("version", "vexolant --version: start-up", ["--version"], 0, "fast"),
    ] + library_scenarios(floors) + network_scenarios()


def network_scenarios() -> list:
    """One exchange on the local pseudo-terminal and through ser2net on the
    loopback, over tcp:// and rfc2217://, in both read ends; and a run that
    only opens and closes the port (CloseFpctrl), whose time over the null
    process is the open."""
    rows = []
    for network in (None, "tcp", "rfc2217"):
        where = network or "local"
        for read_end, floor in (("gap", PAUSE + READ_END), ("complete", PAUSE)):
            rows.append(Scenario(f"net-check-{where}-{read_end}",
                                 f"CheckFprinter on a {where} port, read end {read_end}",
                                 ["CheckFprinter"], floor, "network", sim=[], result="TRUE",
                                 network=network, read_end=read_end))
        rows.append(Scenario(f"net-open-{where}", f"CloseFpctrl: open and close a {where} port",
                             ["CloseFpctrl"], 0, "network", sim=[], network=network,
                             exit_status=1))
    return rows


def library_scenarios(floors: Floors) -> list:
    """200 sends in one process, over one handle of the shared library: no
    process start and no port open per command ({port} is the printer's
    device)."""
    return [
        Scenario("library", f"libvexolant: {FILE_LINES} sends on one handle",
                 ["{port}", str(FILE_LINES)], FILE_LINES * floors.exchange, "slow", sim=[],
                 program="api"),
    ]


# --- Running -------------------------------------------------------------------


@dataclass
class Row:
    scenario: str
    measure: str  # "wall" or the name of a measure at the printer
    samples: int
    median: float
    low: float
    high: float
    floor: float
    baseline: float  # the null process's median for wall rows, 0 at the printer
    cpu: Optional[float] = None
    rss: Optional[int] = None

    @property
    def over(self) -> float:
        return self.median - self.baseline - self.floor

    @property
    def ratio(self) -> Optional[float]:
        return (self.median - self.baseline) / self.floor if self.floor > 0 else None


def run_scenario(s: Scenario, runs: int, programs: dict, env: dict, work: Path) -> tuple:
    home = work / s.name
    home.mkdir()
    for name, text in s.files.items():
        (home / name).write_text(text)
    env = dict(env, VEXOLANT_HOME=str(home))
    if s.read_end == "complete":
        env["VEXOLANT_READ_END"] = "complete"
    elif s.read_end == "gap":
        env.pop("VEXOLANT_READ_END", None)
    out = str(home / "run.out")
    result_file = home / "Status_Error.txt"
    printer = Printer(programs["sim"], home, s.sim) if s.sim is not None else None
    port = (home / "Puerto.dat").read_text().strip() if printer else ""
    server = None
    if s.network:
        try:
            server = Ser2net(home, port)
        except RuntimeError:
            printer.stop()
            raise
        port = server.name(s.network)
        (home / "Puerto.dat").write_text(port + "\n")
    argv = [str(programs[s.program])] + [
        a.replace("{home}", str(home)).replace("{port}", port) for a in s.args]
    runner = programs["runner"]
    tool_samples, null_samples, offsets, failures = [], [], [], []
    try:
        for i in range(runs):
            if printer:
                offsets.append(printer.offset())
            result_file.unlink(missing_ok=True)
            sample = run_process(runner, argv, env, out)
            tool_samples.append(sample)
            null_samples.append(run_process(runner, [NULL_PROCESS], env, out + ".null"))
            got = result_file.read_text() if result_file.exists() else None
            if s.result is not None and (got is None or not got.startswith(s.result)):
                failures.append(f"run {i + 1}: Status_Error.txt {got!r}, expected "
                                f"{s.result!r}...")
            elif s.result is None and sample.exit_status != s.exit_status:
                failures.append(f"run {i + 1}: exit status {sample.exit_status}")
    finally:
        if server:
            server.stop()
        if printer:
            printer.stop()
    walls = [t.wall_ms for t in tool_samples]
    null = statistics.median(n.wall_ms for n in null_samples)
    rows = [Row(s.name, "wall", runs, statistics.median(walls), min(walls), max(walls),
                s.floor_ms, null, statistics.median(t.cpu_ms for t in tool_samples),
                max(t.rss_kib for t in tool_samples))]
    for m in s.measures:
        values = []
        for i, start in enumerate(offsets):
            values += m.samples(printer.log(start, offsets[i + 1] if i + 1 < runs else None))
        if values:
            rows.append(Row(s.name, m.name, len(values), statistics.median(values),
                            min(values), max(values), m.floor_ms, 0))
        else:
            failures.append(f"{m.name}: nothing to measure in the printer's log")
    return rows, failures


def fmt(value, digits=2) -> str:
    if value is None:
        return "-"
    return f"{value:.{digits}f}" if isinstance(value, float) else str(value)


COLUMNS = [
    # title, width, value of a row
    ("scenario", 24, lambda r: r.scenario),
    ("measure", 20, lambda r: r.measure),
    ("n", 4, lambda r: r.samples),
    ("median ms", 10, lambda r: fmt(r.median)),
    ("min ms", 9, lambda r: fmt(r.low)),
    ("max ms", 9, lambda r: fmt(r.high)),
    ("cpu ms", 7, lambda r: fmt(r.cpu)),
    ("rss KiB", 8, lambda r: fmt(r.rss)),
    ("floor ms", 9, lambda r: fmt(float(r.floor), 0)),
    ("null ms", 8, lambda r: fmt(r.baseline) if r.measure == "wall" else "-"),
    ("over ms", 8, lambda r: fmt(r.over)),
    ("ratio", 6, lambda r: fmt(r.ratio, 3)),
]


def print_table(rows: list, header: list):
    for line in header:
        print(line)
    print()
    print("  ".join(f"{t:<{w}}" if i < 2 else f"{t:>{w}}"
                    for i, (t, w, _) in enumerate(COLUMNS)))
    for r in rows:
        print("  ".join(f"{str(v(r)):<{w}}" if i < 2 else f"{str(v(r)):>{w}}"
                        for i, (_, w, v) in enumerate(COLUMNS)))
    print()
    print(f"wall: the tool's run, start to exit; null ms: the median of the runs of {NULL_PROCESS}")
    print("alternated with it; over ms = median - null - floor; ratio = (median - null) / floor.")
    print("Other rows: intervals at the printer, from its log; over = median - floor,")
    print("ratio = median / floor.")


def write_csv(path: Path, rows: list, stamp: str, mode: str, commit: str):
    path.parent.mkdir(exist_ok=True)
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["time", "commit", "mode", "scenario", "measure", "samples", "median_ms",
                    "min_ms", "max_ms", "cpu_median_ms", "rss_max_kib", "floor_ms",
                    "null_median_ms", "over_ms", "ratio"])
        for r in rows:
            w.writerow([stamp, commit, mode, r.scenario, r.measure, r.samples,
                        f"{r.median:.3f}", f"{r.low:.3f}", f"{r.high:.3f}",
                        "" if r.cpu is None else f"{r.cpu:.3f}",
                        "" if r.rss is None else r.rss, f"{r.floor:.0f}",
                        f"{r.baseline:.3f}" if r.measure == "wall" else "",
                        f"{r.over:.3f}", "" if r.ratio is None else f"{r.ratio:.4f}"])


def git_commit() -> str:
    try:
        return subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def parse_args(names: list):
    p = argparse.ArgumentParser(
        prog="scripts/bench",
        description="Runs the tool against the virtual printer and reports its times.",
        epilog="scenarios: " + ", ".join(names))
    p.add_argument("--runs", type=int, metavar="N",
                   help=f"runs of each fast scenario (default {RUNS['fast']})")
    p.add_argument("--slow-runs", type=int, metavar="N",
                   help=f"runs of each slow scenario (default {RUNS['slow']}; the silent "
                        f"printer's {RUNS['silent']})")
    p.add_argument("--quick", action="store_true",
                   help="few runs, and no silent printer (it costs 9 to 27 s a run)")
    p.add_argument("--only", action="append", metavar="NAME",
                   help="run only this scenario (repeatable, or NAME,NAME)")
    p.add_argument("--mode", choices=["default", "complete"], default="default",
                   help="complete: run the tool with VEXOLANT_READ_END=complete")
    p.add_argument("--build", default=str(ROOT / "build" / "release"),
                   help="the build folder (default build/release)")
    p.add_argument("--results", default=str(ROOT / "bench-results"),
                   help="where the CSV goes (default bench-results)")
    args = p.parse_args()
    for n in (args.runs, args.slow_runs):
        if n is not None and n < 1:
            p.error("runs must be 1 or more")
    only = [n for item in args.only or [] for n in item.split(",") if n]
    unknown = sorted(set(only) - set(names))
    if unknown:
        p.error("unknown scenario " + ", ".join(unknown) + "; scenarios: " + ", ".join(names))
    return args, only


def main() -> int:
    args, only = parse_args([s.name for s in scenarios()])
    floors = COMPLETE_FLOORS if args.mode == "complete" else DEFAULT_FLOORS
    all_scenarios = scenarios(floors)
    runs = dict(QUICK_RUNS if args.quick else RUNS)
    if args.runs:
        runs["fast"] = args.runs
    if args.slow_runs:
        runs["slow"] = runs["silent"] = args.slow_runs
    chosen = [s for s in all_scenarios if (s.name in only if only else runs[s.kind] > 0)]
    if any(s.network for s in chosen) and shutil.which("ser2net") is None and not os.access(
            "/usr/sbin/ser2net", os.X_OK):
        print("bench: ser2net is missing (scripts/deps network); the network rows are left out",
              file=sys.stderr)
        chosen = [s for s in chosen if not s.network]

    build = Path(args.build).resolve()
    programs = {
        "tool": build / "src" / "vexolant",
        "sim": build / "tools" / "sim" / "vexolant-sim",
        "runner": build / "tools" / "bench" / "vexolant-bench-run",
        "api": build / "tools" / "bench" / "vexolant-api-sends",
    }
    tool, runner = programs["tool"], programs["runner"]
    for program in programs.values():
        if not os.access(program, os.X_OK):
            print(f"bench: {program} is missing; scripts/bench builds it", file=sys.stderr)
            return 2
    env = {k: v for k, v in os.environ.items()
           if k not in ("VEXOLANT_TRACE", "VEXOLANT_READ_END")}
    if args.mode == "complete":
        env["VEXOLANT_READ_END"] = "complete"

    load_before = os.getloadavg()
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    rows, failures = [], []
    with tempfile.TemporaryDirectory(prefix="vexolant-bench.") as work:
        # Once untimed, so that the first timed runs do not pay for loading.
        run_process(runner, [str(tool), "--version"], env, os.path.join(work, "warm"))
        run_process(runner, [NULL_PROCESS], env, os.path.join(work, "warm"))
        for s in chosen:
            n = max(runs[s.kind], 1)
            print(f"bench: {s.name}: {s.about}, {n} run(s) of at least "
                  f"{s.floor_ms / 1000:.2f} s", file=sys.stderr, flush=True)
            got, failed = run_scenario(s, n, programs, env, Path(work))
            rows += got
            failures += [f"{s.name}: {f}" for f in failed]
    load_after = os.getloadavg()

    commit = git_commit()
    mode = ("complete (VEXOLANT_READ_END=complete)" if args.mode == "complete"
            else "default (VEXOLANT_READ_END unset)")
    header = [
        f"vexolant benchmark  {stamp}  commit {commit}  {tool}",
        f"mode: {mode}",
        f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after, "
        f"on {os.cpu_count()} cores",
        f"floors: 10 ms after each request, reads that end {floors.read_end:.0f} ms after "
        f"a whole reply, 1.5 s after a NAK, 1 s per byte asked of a silent printer, "
        f"{floors.report_tail / 1000:g} s for the read after a report's last block",
    ]
    print()
    print_table(rows, header)
    csv_path = Path(args.results) / f"{stamp}-{args.mode}.csv"
    write_csv(csv_path, rows, stamp, args.mode, commit)
    print(f"\nCSV: {csv_path}")
    if load_before[0] > 1.0 or load_after[0] > 1.0:
        print("note: the machine was busy; the figures are noisy", file=sys.stderr)
    for f in failures:
        print(f"bench: unexpected: {f}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
