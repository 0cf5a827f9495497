"""Shared by the service's tests: virtual printers, a vexolantd with a
scratch configuration, and a small HTTP client on urllib.

VEXOLANTD names the service's program, VEXOLANT_SIM the virtual printer,
VEXOLANT_TOOL the console tool, VEXOLANT_FLEET_TOOL the head office's
command vexolant-fleet. Broker runs Debian's mosquitto for the fleet
link's cases, and Watcher listens to it with mosquitto_sub. With
VEXOLANTD_WINE=1, VEXOLANTD is the Windows program, run as
`vexolantd.exe run` under Wine (WINEPREFIX): its paths are named through
drive Z:, Ctrl+C (SIGINT) stops it, and the virtual printers are reached
over tcp:// (Wine opens a pseudo-terminal as a COM port only once).
"""

import http.client
import json
import os
import pathlib
import re
import selectors
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
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

    def metrics(self):
        """GET /metrics as {sample name with labels: value}."""
        answer = self.request("GET", "/metrics")
        if answer.status != 200:
            raise AssertionError(f"/metrics: {answer}")
        samples = {}
        for line in answer.raw.decode().splitlines():
            if line and not line.startswith("#"):
                name, _, value = line.rpartition(" ")
                samples[name] = float(value)
        return samples

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


MOSQUITTO = shutil.which("mosquitto", path=os.environ.get("PATH", "") + ":/usr/sbin")
PREFIX = "vexolant/v1"
OFFICE = "office"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def need_broker():
    """Skips the case (or class) unless mosquitto and its clients are here."""
    for program in (MOSQUITTO, shutil.which("mosquitto_pub"), shutil.which("mosquitto_sub"),
                    shutil.which("mosquitto_passwd"), shutil.which("openssl")):
        if program is None:
            raise unittest.SkipTest("mosquitto, its clients or openssl are not installed: "
                                    "scripts/deps fleet")


def make_ca(folder, name):
    """A CA of its own in folder: returns (certificate, key)."""
    cert, key = os.path.join(folder, f"{name}.pem"), os.path.join(folder, f"{name}.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", f"/CN={name}",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def make_certificate(folder, name, ca):
    """A certificate for 127.0.0.1 and localhost, signed by ca."""
    cert, key = os.path.join(folder, f"{name}.pem"), os.path.join(folder, f"{name}.key")
    request = os.path.join(folder, f"{name}.csr")
    extensions = os.path.join(folder, f"{name}.ext")
    pathlib.Path(extensions).write_text("subjectAltName = IP:127.0.0.1, DNS:localhost\n")
    subprocess.run(["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-subj", f"/CN={name}",
                    "-keyout", key, "-out", request], check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-req", "-in", request, "-CA", ca[0], "-CAkey", ca[1],
                    "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


class Broker:
    """mosquitto in the foreground on loopback: a plain and a TLS listener on
    free ports, users (the head office and one per site, named as the site),
    the ACL a head office would use, and persistence in its folder: saved
    after every change, so that a kill -9 of the broker loses nothing, or
    every save_every_s seconds, as a head office runs it."""

    def __init__(self, folder, sites=(), save_every_s=None):
        need_broker()
        self.folder = os.path.join(folder, "broker")
        os.makedirs(self.folder, exist_ok=True)
        self.password = "broker-pass-1"
        self.ca = make_ca(self.folder, "ca")
        self.server = make_certificate(self.folder, "server", self.ca)
        passwords = os.path.join(self.folder, "passwords")
        for i, user in enumerate((OFFICE, *sites)):
            subprocess.run(["mosquitto_passwd", "-b", *(["-c"] if i == 0 else []), passwords,
                            user, self.password], check=True, capture_output=True)
        acl = os.path.join(self.folder, "acl")
        pathlib.Path(acl).write_text(
            f"user {OFFICE}\ntopic readwrite {PREFIX}/#\n\n"
            f"pattern read {PREFIX}/%u/+/jobs\n"
            f"pattern write {PREFIX}/%u/+/events\n"
            f"pattern write {PREFIX}/%u/status\n")
        self.port = free_port()
        self.tls_port = free_port()
        lines = [
            "per_listener_settings false",
            "allow_anonymous false",
            f"password_file {passwords}",
            f"acl_file {acl}",
            "persistence true",
            f"persistence_location {self.folder}/",
            *(["autosave_interval 1", "autosave_on_changes true"] if save_every_s is None
              else [f"autosave_interval {save_every_s}"]),
            "max_queued_messages 100000",
            "set_tcp_nodelay true",
            f"log_dest file {self.folder}/mosquitto.log",
            "log_type error",
            "log_type warning",
            "log_type notice",
            "log_type information",
            f"listener {self.port} 127.0.0.1",
            f"listener {self.tls_port} 127.0.0.1",
            f"cafile {self.ca[0]}",
            f"certfile {self.server[0]}",
            f"keyfile {self.server[1]}",
        ]
        if os.geteuid() == 0:
            lines.append("user root")
        self.config = os.path.join(self.folder, "mosquitto.conf")
        pathlib.Path(self.config).write_text("\n".join(lines) + "\n")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + START_LIMIT_S
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.process.kill()
                    self.process.wait()
                    raise RuntimeError(f"mosquitto did not start:\n{self.log()}")
                time.sleep(0.05)

    def stop(self, sig=signal.SIGTERM):
        if self.process is None:
            return
        self.process.send_signal(sig)
        self.process.wait(STOP_LIMIT_S)
        self.process = None

    def log(self):
        path = pathlib.Path(self.folder, "mosquitto.log")
        return path.read_text(errors="replace") if path.exists() else ""

    def url(self, tls=False):
        return f"mqtts://127.0.0.1:{self.tls_port}" if tls else f"mqtt://127.0.0.1:{self.port}"

    def site_config(self, folder, site, tls=False, ca=None, extra=""):
        """The [fleet] table of a site that logs in as its own user."""
        password_file = os.path.join(folder, f"{site}.password")
        pathlib.Path(password_file).write_text(self.password + "\n")
        lines = ["[fleet]", f'broker = "{self.url(tls)}"', f'site = "{site}"',
                 f'username = "{site}"', f'password_file = "{password_file}"', "keepalive_s = 5"]
        if tls:
            lines.append(f'ca_file = "{ca or self.ca[0]}"')
        return "\n".join(lines) + "\n" + extra + "\n"

    def publish(self, topic, payload, properties=(), retain=False):
        """Publishes as the head office, QoS 1; returns when the broker has it."""
        data = payload if isinstance(payload, bytes) else (
            payload.encode() if isinstance(payload, str) else json.dumps(payload).encode())
        command = ["mosquitto_pub", "-V", "5", "-h", "127.0.0.1", "-p", str(self.port),
                   "-u", OFFICE, "-P", self.password, "-q", "1", "-t", topic, "-s"]
        for name, value in properties:
            command += ["-D", "publish", "user-property", name, value]
        if retain:
            command.append("-r")
        subprocess.run(command, input=data, check=True, timeout=30, capture_output=True)

    def send_job(self, site, printer, job, properties=()):
        self.publish(f"{PREFIX}/{site}/{printer}/jobs", job, properties)

    def office_command_line(self, *args):
        """vexolant-fleet (VEXOLANT_FLEET_TOOL) as the head office."""
        password_file = os.path.join(self.folder, "office.password")
        pathlib.Path(password_file).write_text(self.password + "\n")
        return [os.environ["VEXOLANT_FLEET_TOOL"], "--broker", self.url(), "--username", OFFICE,
                "--password-file", password_file, *args]

    def office_command(self, *args, timeout=60):
        return subprocess.run(self.office_command_line(*args), capture_output=True, text=True,
                              timeout=timeout)


class Site:
    """A shop: a virtual printer 'front' and a vexolantd with a fleet link to
    the broker, in folder/name (the journal there too, unless given)."""

    def __init__(self, folder, broker, name, rules=(), fleet_extra="", tls=False, ca=None,
                 top="", journal=None):
        self.name = name
        self.folder = os.path.join(folder, name)
        os.makedirs(self.folder, exist_ok=True)
        self.printer = Printer(self.folder, "front", rules)
        self.daemon = Daemon(
            self.folder, [("front", self.printer.device, "complete")],
            extra=top + "\n" + broker.site_config(self.folder, name, tls=tls, ca=ca,
                                                   extra=fleet_extra),
            journal=journal)

    def stop(self):
        status = self.daemon.stop()
        self.printer.stop()
        return status


class Watcher:
    """The head office's listener: every message under the prefix, kept in
    arrival order, with waits on them."""

    def __init__(self, broker, topic=f"{PREFIX}/#", session=None):
        """session: a client id whose session the broker keeps while the
        listener is away (and across its restarts, with persistence)."""
        self.broker = broker
        self.messages = []
        self.condition = threading.Condition()
        probe = f"{PREFIX}/_probe/{os.getpid()}-{id(self)}"
        self.process = subprocess.Popen(
            ["mosquitto_sub", "-V", "5", "-h", "127.0.0.1", "-p", str(broker.port), "-u", OFFICE,
             "-P", broker.password, "-q", "1", "-v", "-t", topic, "-t", probe,
             *(["-c", "-i", session] if session else [])],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # Subscribed once a probe of its own comes back.
        deadline = time.monotonic() + START_LIMIT_S
        while not self.wait(lambda t, p: t == probe, 0.3, fail=False):
            if time.monotonic() > deadline:
                raise RuntimeError("mosquitto_sub did not subscribe")
            broker.publish(probe, "probe")

    def _read(self):
        for raw in self.process.stdout:
            topic, _, payload = raw.decode(errors="replace").rstrip("\n").partition(" ")
            with self.condition:
                self.messages.append((topic, payload))
                self.condition.notify_all()

    def wait(self, match, limit_s=30, fail=True):
        """The first message (topic, payload text) that match(topic, payload) takes."""
        deadline = time.monotonic() + limit_s
        with self.condition:
            while True:
                for topic, payload in self.messages:
                    if match(topic, payload):
                        return topic, payload
                left = deadline - time.monotonic()
                if left <= 0:
                    if fail:
                        raise AssertionError(f"no such message in {limit_s} s; had:\n" +
                                             "\n".join(f"{t} {p[:200]}" for t, p in
                                                        self.messages[-20:]))
                    return None
                self.condition.wait(left)

    def events(self, site, job_id):
        """Every event of a head office's job id so far, as objects."""
        found = []
        with self.condition:
            for topic, payload in self.messages:
                if topic.startswith(f"{PREFIX}/{site}/") and topic.endswith("/events"):
                    event = json.loads(payload)
                    if event.get("id") == job_id:
                        found.append(event)
        return found

    def wait_event(self, site, job_id, states, limit_s=30, after=0):
        """The first event of the job in one of the states, past the first
        `after` events of that job."""
        deadline = time.monotonic() + limit_s
        while True:
            for event in self.events(site, job_id)[after:]:
                if event["state"] in states:
                    return event
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"job {job_id}: no {states} event in {limit_s} s; had "
                                     f"{self.events(site, job_id)}")
            with self.condition:
                self.condition.wait(min(left, 0.5))

    def stop(self):
        self.process.terminate()
        self.process.wait(STOP_LIMIT_S)
        self.process.stdout.close()


def scratch():
    return tempfile.TemporaryDirectory(prefix="vexolantd-test-")
