"""Shared by the service's tests: virtual printers, a vexolantd with a
scratch configuration, and a small HTTP client on urllib.

VEXOLANTD names the service's program, VEXOLANT_SIM the virtual printer,
VEXOLANT_TOOL the console tool. With VEXOLANTD_WINE=1, VEXOLANTD is the
Windows program, run as `vexolantd.exe run` under Wine (WINEPREFIX): its
paths are named through drive Z:, Ctrl+C (SIGINT) stops it, and the virtual
printers are reached over tcp:// (Wine opens a pseudo-terminal as a COM port
only once).
"""

import http.client
import json
import os
import pathlib
import re
import selectors
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

START_LIMIT_S = 10
STOP_LIMIT_S = 20
TOKEN = "test-token-0123456789abcdef"
WINE = os.environ.get("VEXOLANTD_WINE") == "1"
# What stops the service as SIGTERM does on Linux (Wine ends a process on
# SIGTERM at once, and turns SIGINT into Ctrl+C).
STOP_SIGNAL = signal.SIGINT if WINE else signal.SIGTERM


def service_command(*args):
    """The service's command line with these arguments."""
    if WINE:
        return ["wine", os.environ["VEXOLANTD"], "run", *args]
    return [os.environ["VEXOLANTD"], *args]


def service_path(path):
    """A path as the service names it."""
    return "Z:" + str(path) if WINE else str(path)

# Set by the API tests: every answer of Daemon.request is then checked against
# the OpenAPI document that the service serves.
check_answers = False
_api_document = None


def read_first_line(process, limit_s):
    """The first line of a child's stdout, or "" when none came in time."""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        if not selector.select(limit_s):
            return ""
    return process.stdout.readline().decode(errors="replace").strip()


class Printer:
    """A virtual printer with rules, logging every byte to its own file."""

    def __init__(self, folder, name, rules=(), network=()):
        """network: more options, such as ("--tcp", "127.0.0.1:0"): the
        device is then the port name to open (tcp://...)."""
        self.log = os.path.join(folder, f"{name}.log")
        if WINE and not network:
            network = ("--tcp", "127.0.0.1:0")
        command = [os.environ["VEXOLANT_SIM"], "--log", self.log, *network]
        for rule in rules:
            command += ["--rule", rule]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE)
        self.device = read_first_line(self.process, START_LIMIT_S)
        if not self.device:
            self.process.kill()
            self.process.wait()
            raise RuntimeError(f"the virtual printer did not start within {START_LIMIT_S} s")

    def received(self):
        """The command texts received in complete frames, in order."""
        texts = []
        for line in pathlib.Path(self.log).read_text(errors="replace").splitlines():
            match = re.match(r"\s*[\d.]+ recv <STX>(.*)<ETX><LRC 0x[0-9A-Fa-f]{2}>$", line)
            if match:
                texts.append(match.group(1))
        return texts

    def log_text(self):
        return pathlib.Path(self.log).read_text(errors="replace")

    def stop(self):
        self.process.terminate()
        self.process.wait(STOP_LIMIT_S)
        self.process.stdout.close()


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.raw = body
        try:
            self.json = json.loads(body) if body else None
        except ValueError:
            self.json = None

    def __repr__(self):
        return f"Answer({self.status}, {self.raw[:300]!r})"


class Daemon:
    """vexolantd on a free loopback port with a scratch journal and token."""

    def __init__(self, folder, printers, extra="", journal=None, env=None):
        self.folder = folder
        self.env = env
        self.token_file = os.path.join(folder, "token")
        pathlib.Path(self.token_file).write_text(TOKEN + "\n")
        self.journal = journal or os.path.join(folder, "jobs.db")
        lines = [
            'listen = "127.0.0.1:0"',
            f'journal = "{service_path(self.journal)}"',
            f'token_file = "{service_path(self.token_file)}"',
            extra,
        ]
        for name, device, read_end in printers:
            lines += ["[[printer]]", f'name = "{name}"', f'port = "{device}"',
                      f'read_end = "{read_end}"', "port_wait_ms = 5000"]
        self.config = os.path.join(folder, "vexolantd.toml")
        pathlib.Path(self.config).write_text("\n".join(lines) + "\n")
        self.process = None
        self.start()

    def start(self):
        self.stderr = open(os.path.join(self.folder, "vexolantd.err"), "ab")
        self.process = subprocess.Popen(service_command("--config", service_path(self.config)),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.stderr, env=self.env)
        line = read_first_line(self.process, START_LIMIT_S)
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if not match:
            self.process.kill()
            self.process.wait()
            self.process.stdout.close()
            self.stderr.close()
            raise RuntimeError(f"vexolantd did not start: {line!r}\n{self.errors()}")
        self.port = int(match.group(1))
        self.host = f"127.0.0.1:{self.port}"

    def errors(self):
        return pathlib.Path(self.folder, "vexolantd.err").read_text(errors="replace")

    def stop(self, sig=None):
        """Stops the service; returns its exit status."""
        if self.process is None:
            return None
        self.process.send_signal(sig or STOP_SIGNAL)
        status = self.process.wait(STOP_LIMIT_S)
        self.process.stdout.close()
        self.stderr.close()
        self.process = None
        return status

    def rss_kib(self):
        for line in pathlib.Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def request(self, method, path, body=None, headers=None, token=TOKEN, timeout=70):
        """One request; the answer whatever its status."""
        answer = self._request(method, path, body, headers, token, timeout)
        if check_answers:
            self.api_document().check(method, path, answer)
        return answer

    def api_document(self):
        """The service's OpenAPI document (GET /v1/openapi.json), once."""
        global _api_document
        if _api_document is None:
            import openapi_check
            answer = self._request("GET", "/v1/openapi.json", None, None, TOKEN, 10)
            if answer.status != 200 or not isinstance(answer.json, dict):
                raise AssertionError(f"GET /v1/openapi.json: {answer}")
            _api_document = openapi_check.Document(answer.json)
        return _api_document

    def _request(self, method, path, body, headers, token, timeout):
        data = None
        if body is not None:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
        request = urllib.request.Request(f"http://{self.host}{path}", data=data, method=method)
        if token is not None:
            request.add_header("Authorization", f"Bearer {token}")
        if data is not None:
            request.add_header("Content-Type", "application/json")
        for name, value in (headers or {}).items():
            request.add_header(name, value)
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return Answer(response.status, response.headers, response.read())
        except urllib.error.HTTPError as error:
            return Answer(error.code, error.headers, error.read())

    def post_job(self, printer, body, headers=None):
        return self.request("POST", f"/v1/printers/{printer}/jobs", body, headers)

    def wait_job(self, job_id, limit_s=30):
        """Polls with ?wait until the job is over; returns the job."""
        deadline = time.monotonic() + limit_s
        while True:
            answer = self.request("GET", f"/v1/jobs/{job_id}?wait=5")
            if answer.status != 200:
                raise AssertionError(f"job {job_id}: {answer}")
            if answer.json["state"] not in ("queued", "running"):
                return answer.json
            if time.monotonic() > deadline:
                raise AssertionError(f"job {job_id} still {answer.json['state']} after {limit_s} s")

    def run_job(self, printer, body, headers=None):
        answer = self.post_job(printer, body, headers)
        if answer.status != 202:
            raise AssertionError(f"job not accepted: {answer}")
        return self.wait_job(answer.json["id"])

    def raw(self, data, timeout=10):
        """Sends raw bytes on a new connection; returns what came back."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        connection.connect()
        try:
            connection.sock.sendall(data)
            chunks = []
            while True:
                try:
                    chunk = connection.sock.recv(65536)
                except (ConnectionResetError, TimeoutError):
                    break
                if not chunk:
                    break
                chunks.append(chunk)
            return b"".join(chunks)
        finally:
            connection.close()


def scratch():
    return tempfile.TemporaryDirectory(prefix="vexolantd-test-")
