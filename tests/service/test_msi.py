"""The Windows installer under Wine, one step after the other in a Wine
prefix of its own: its tables, a silent install, the service registered and
started by the service manager, a broken configuration and a failed start
reported, the log moved aside when full, jobs through HTTP to virtual printers on a
COM port and over tcp://, a stop that keeps the queue, an upgrade that keeps
the configuration and the journal, and an uninstall that leaves the state
folder.

VEXOLANT_MSI names the installer, VEXOLANT_MSI_UPGRADE the same files at a
higher version, VEXOLANT_SIM the (native) virtual printer; WINEPREFIX the
prefix, whose Wine server runs (scripts/wine-server). scripts/windows-service-test
sets them.
"""

import json
import os
import pathlib
import re
import socket
import sqlite3
import subprocess
import time
import unittest
import urllib.error
import urllib.request

import harness

SERVICE = "vexolantd"
ADDRESS = "127.0.0.1:8631"
UPGRADE_CODE = "{A0F97E93-565C-46F7-A243-10F69F853A15}"
FILES = ("vexolant.exe", "vexolant.dll", "vexolantd.exe", "vexolant.h", "version.h",
         "libvexolant.dll.a", "README.md", "LICENSE")
# STATE in `sc query`
STOPPED, RUNNING = 1, 4


def need(name):
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(f"{name} is not set: run scripts/windows-service-test")
    return value


def windows_path(path):
    """The name of a Unix path under Wine (drive Z: is the root)."""
    return "Z:" + str(path).replace("/", "\\")


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.msi = need("VEXOLANT_MSI")
        cls.upgrade = need("VEXOLANT_MSI_UPGRADE")
        need("VEXOLANT_SIM")
        cls.prefix = pathlib.Path(need("WINEPREFIX"))
        cls.logs = cls.prefix / "test-logs"
        cls.logs.mkdir(exist_ok=True)
        cls.program = cls.prefix / "drive_c/Program Files/vexolant"
        cls.state = cls.prefix / "drive_c/ProgramData/vexolant"
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", 8631)) == 0:
                raise AssertionError(f"{ADDRESS}, the service's address, is in use already")
        cls.scratch = harness.scratch()
        cls.printers = []

    @classmethod
    def tearDownClass(cls):
        for printer in cls.printers:
            printer.stop()
        cls.scratch.cleanup()

    # --- helpers ---------------------------------------------------------

    def wine(self, *args, name, timeout=180):
        """Runs a Wine program with its output in a file of its own (a
        service it starts would hold the caller's pipes open)."""
        out = self.logs / f"{name}.out"
        with open(out, "wb") as output:
            run = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=output,
                                 stderr=subprocess.STDOUT, timeout=timeout)
        return run.returncode, out.read_text(errors="replace")

    def msiexec(self, action, msi, name):
        log = self.logs / f"{name}.log"
        status, output = self.wine("msiexec", action, windows_path(msi), "/qn", "/l*v",
                                   windows_path(log), name=name)
        text = log.read_text(errors="replace") if log.exists() else ""
        return status, output, text

    def service_state(self):
        """The service's STATE in `sc query`, or None when there is none."""
        _, output = self.wine("sc", "query", SERVICE, name="sc-query", timeout=60)
        match = re.search(r"STATE\s*:\s*(\d+)", output)
        return int(match.group(1)) if match else None

    def wait_state(self, state, limit_s=30):
        deadline = time.monotonic() + limit_s
        while True:
            current = self.service_state()
            if current == state or time.monotonic() > deadline:
                return current
            time.sleep(0.5)

    def request(self, method, path, body=None, token=None, timeout=30):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(f"http://{ADDRESS}{path}", data=data, method=method)
        if token:
            request.add_header("Authorization", f"Bearer {token}")
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return response.status, json.loads(response.read() or b"null")
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")

    def health(self, limit_s=20):
        """/v1/health once the service answers."""
        deadline = time.monotonic() + limit_s
        while True:
            try:
                return self.request("GET", "/v1/health", timeout=5)
            except (urllib.error.URLError, ConnectionError, TimeoutError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.3)

    def token(self):
        return (self.state / "token").read_text().splitlines()[0].strip()

    def restart(self, name):
        status, output = self.wine("net", "stop", SERVICE, name=f"{name}-stop")
        self.assertEqual(status, 0, output)
        self.assertEqual(self.wait_state(STOPPED), STOPPED)
        status, output = self.wine("net", "start", SERVICE, name=f"{name}-start")
        self.assertEqual(status, 0, output)
        self.assertEqual(self.service_state(), RUNNING)

    def registry(self, key, value=None):
        args = ["reg", "query", key] + (["/v", value] if value else [])
        return self.wine(*args, name="reg-query", timeout=60)

    def run_job(self, printer, body):
        status, job = self.request("POST", f"/v1/printers/{printer}/jobs", body, self.token())
        self.assertEqual(status, 202, job)
        deadline = time.monotonic() + 30
        while job["state"] in ("queued", "running"):
            self.assertLess(time.monotonic(), deadline, job)
            status, job = self.request("GET", f"/v1/jobs/{job['id']}?wait=5", None, self.token())
            self.assertEqual(status, 200, job)
        return job

    # --- the steps, in order ---------------------------------------------

    def test_1_tables(self):
        tables = subprocess.run(["msiinfo", "tables", self.msi], capture_output=True, text=True,
                                check=True).stdout.split()
        for table in ("File", "Component", "ServiceInstall", "ServiceControl", "CustomAction",
                      "Upgrade"):
            self.assertIn(table, tables)

        def rows(table):
            text = subprocess.run(["msiinfo", "export", self.msi, table], capture_output=True,
                                  text=True, check=True).stdout
            return [line.split("\t") for line in text.splitlines()[3:]]

        self.assertEqual(sorted(row[2] for row in rows("File")), sorted(FILES))
        install = {row[1]: row for row in rows("ServiceInstall")}[SERVICE]
        self.assertEqual((install[3], install[4], install[8]), ("16", "2", "LocalSystem"),
                         "own process, automatic start, LocalSystem")
        control = {row[1]: row for row in rows("ServiceControl")}[SERVICE]
        # start at install (1), stop at install and uninstall (2, 32), removed at uninstall (128)
        self.assertEqual(int(control[2]), 1 | 2 | 32 | 128)
        self.assertEqual(control[4], "1", "the installer waits for the service")
        actions = {row[0]: row for row in rows("CustomAction")}
        setup = actions["ServiceSetup"]
        self.assertEqual((setup[2], setup[3]), ("vexolantd.exe", "service install"))
        # deferred (0x400) and not impersonated (0x800)
        self.assertEqual(int(setup[1]) & 0xC00, 0xC00)
        sequence = {row[0]: row for row in rows("InstallExecuteSequence")}
        self.assertLess(int(sequence["InstallServices"][2]), int(sequence["ServiceSetup"][2]))
        self.assertLess(int(sequence["ServiceSetup"][2]), int(sequence["StartServices"][2]))
        # The old version goes before the new one is installed.
        self.assertLess(int(sequence["RemoveExistingProducts"][2]),
                        int(sequence["InstallFiles"][2]))
        self.assertIn(UPGRADE_CODE, [row[0] for row in rows("Upgrade")])

    def test_2_install(self):
        status, output, log = self.msiexec("/i", self.msi, "install")
        self.assertEqual(status, 0, output + log[-3000:])
        for name in ("vexolant.exe", "vexolant.dll", "vexolantd.exe", "README.md", "LICENSE",
                     "include/vexolant/vexolant.h", "lib/libvexolant.dll.a"):
            self.assertTrue((self.program / name).is_file(), name)
        # The custom action made the service's files.
        self.assertGreaterEqual(len(self.token()), 16)
        self.assertIn("listen = \"127.0.0.1:8631\"", (self.state / "vexolantd.toml").read_text())
        status, output = self.registry(r"HKLM\System\CurrentControlSet\Services\vexolantd")
        self.assertEqual(status, 0, output)
        self.assertRegex(output, r"ImagePath\s+REG\w+\s+.*vexolantd\.exe")
        self.assertRegex(output, r"Start\s+REG_DWORD\s+0x2")
        # Started by the installer.
        self.assertEqual(self.wait_state(RUNNING), RUNNING)
        status, health = self.health()
        self.assertEqual(status, 200, health)
        self.assertTrue(health["ok"], health)
        status, output = self.registry(
            r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment", "Path")
        self.assertIn("C:\\Program Files\\vexolant", output)

    def test_3_broken_configuration_is_reported(self):
        config = self.state / "vexolantd.toml"
        good = config.read_bytes()
        try:
            config.write_text('listen = 8631\n')
            self.restart("broken")
            status, health = self.health()
            self.assertEqual(status, 503, health)
            self.assertFalse(health["ok"])
            self.assertIn("listen", health["problem"])
            status, answer = self.request("GET", "/v1/printers", token=self.token())
            self.assertEqual(status, 503, answer)
            self.assertIn("listen", (self.state / "vexolantd.log").read_text(errors="replace"))
        finally:
            config.write_bytes(good)

    def com_printer(self, name):
        """A new virtual printer as COM7. Under Wine a pseudo-terminal can be
        opened as a COM port once: once closed, its line settings are refused
        (EINVAL), so each opening of the port gets a printer of its own."""
        printer = harness.Printer(self.scratch.name, name, ("D=delay:1500,ack",))
        type(self).printers.append(printer)
        link = self.prefix / "dosdevices/com7"
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(printer.device)
        return printer

    def test_3a_failed_start_is_reported(self):
        config = self.state / "vexolantd.toml"
        good = config.read_bytes()
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            try:
                config.write_text(good.decode().replace(
                    'listen = "127.0.0.1:8631"', f'listen = "127.0.0.1:{busy.getsockname()[1]}"'))
                status, output = self.wine("net", "stop", SERVICE, name="busy-stop")
                self.assertEqual(status, 0, output)
                self.assertEqual(self.wait_state(STOPPED), STOPPED)
                # Wine's `net start` says the start succeeded once the program
                # took the service manager's call: the state and the exit codes
                # after it tell.
                self.wine("net", "start", SERVICE, name="busy-start")
                self.assertEqual(self.wait_state(STOPPED), STOPPED)
                _, query = self.wine("sc", "query", SERVICE, name="busy-query", timeout=60)
                # ERROR_SERVICE_SPECIFIC_ERROR, with the program's exit status
                self.assertRegex(query, r"WIN32_EXIT_CODE\s*:\s*1066\b")
                self.assertRegex(query, r"SERVICE_EXIT_CODE\s*:\s*1\b")
                self.assertIn("cannot listen", (self.state / "vexolantd.log").read_text())
            finally:
                config.write_bytes(good)
        status, output = self.wine("net", "start", SERVICE, name="busy-restart")
        self.assertEqual(status, 0, output)

    def test_3b_full_log_is_moved_aside(self):
        log = self.state / "vexolantd.log"
        aside = self.state / "vexolantd.log.1"
        self.assertFalse(aside.exists())
        with open(log, "ab") as padding:
            padding.write(b"padding line\r\n" * (1100 * 1024 // 14))
        # Looked at every 5 s while the service runs.
        deadline = time.monotonic() + 20
        while not aside.exists() and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertTrue(aside.exists())
        self.assertGreater(aside.stat().st_size, 1024 * 1024)
        # What the service says next goes to the new log.
        self.restart("after-log")
        text = log.read_text(errors="replace")
        self.assertNotIn("padding line", text)
        self.assertIn("stop asked", text)
        self.assertLess(log.stat().st_size, 64 * 1024)

    def test_4_jobs_on_a_com_port_and_over_tcp(self):
        com = self.com_printer("com")
        net = harness.Printer(self.scratch.name, "net", (), ("--tcp", "127.0.0.1:0"))
        type(self).printers.append(net)
        config = self.state / "vexolantd.toml"
        text = config.read_text()
        text += ('\n[[printer]]\nname = "com"\nport = "COM7"\nread_end = "complete"\n'
                 f'\n[[printer]]\nname = "net"\nport = "{net.device}"\nread_end = "complete"\n')
        config.write_text(text)
        self.restart("printers")
        status, printers = self.request("GET", "/v1/printers", token=self.token())
        self.assertEqual(status, 200, printers)
        self.assertEqual([p["name"] for p in printers["printers"]], ["com", "net"])
        for name, printer in (("com", com), ("net", net)):
            with self.subTest(name):
                job = self.run_job(name, {"op": "send", "text": f"hello {name}"})
                self.assertEqual(job["state"], "done", job)
                self.assertTrue(job["result"]["ok"], job)
                self.assertIn(f"hello {name}", printer.received())

    def test_5_stop_keeps_the_queue(self):
        # Each job takes 1.5 s at the printer; `net stop` takes Wine a moment
        # to deliver, so a few may end first, but never all of them.
        printer = self.com_printer("queue")
        token = self.token()
        jobs = [self.request("POST", "/v1/printers/com/jobs", {"op": "send", "text": f"D {i}"},
                             token)[1] for i in range(6)]
        time.sleep(0.5)
        status, output = self.wine("net", "stop", SERVICE, name="queue-stop")
        self.assertEqual(status, 0, output)
        self.assertEqual(self.wait_state(STOPPED), STOPPED)
        with sqlite3.connect(self.state / "jobs.db") as journal:
            states = dict(journal.execute("SELECT id, state FROM jobs"))
        states = [states[job["id"]] for job in jobs]
        # The running job ended; those after it stayed queued, in order.
        ended = states.count("done")
        self.assertGreaterEqual(ended, 1, states)
        self.assertLess(ended, len(jobs), states)
        self.assertEqual(states, ["done"] * ended + ["queued"] * (len(jobs) - ended))
        self.assertEqual([f"D {i}" for i in range(ended)], printer.received())
        type(self).queued = [job["id"] for job in jobs[ended:]]

    def test_6_upgrade_keeps_configuration_and_journal(self):
        config = (self.state / "vexolantd.toml").read_bytes()
        token = self.token()
        printer = self.com_printer("upgraded")
        status, output, log = self.msiexec("/i", self.upgrade, "upgrade")
        self.assertEqual(status, 0, output + log[-3000:])
        self.assertRegex(log, r"RemoveExistingProducts")
        self.assertEqual((self.state / "vexolantd.toml").read_bytes(), config)
        self.assertEqual(self.token(), token)
        self.assertEqual(self.wait_state(RUNNING), RUNNING)
        self.assertEqual(self.health()[0], 200)
        # The jobs queued before the upgrade ran after it.
        for job_id in self.queued:
            deadline = time.monotonic() + 30
            while True:
                status, job = self.request("GET", f"/v1/jobs/{job_id}?wait=5", None, token)
                self.assertEqual(status, 200, job)
                if job["state"] not in ("queued", "running") or time.monotonic() > deadline:
                    break
            self.assertEqual(job["state"], "done", job)
            self.assertTrue(job["result"]["ok"], job)
        self.assertEqual(len(printer.received()), len(self.queued))

    def test_7_uninstall_leaves_the_state_folder(self):
        status, output, log = self.msiexec("/x", self.upgrade, "uninstall")
        self.assertEqual(status, 0, output + log[-3000:])
        self.assertIsNone(self.service_state())
        status, _ = self.registry(r"HKLM\System\CurrentControlSet\Services\vexolantd")
        self.assertNotEqual(status, 0)
        self.assertFalse((self.program / "vexolantd.exe").exists())
        self.assertFalse((self.program / "vexolant.exe").exists())
        for name in ("vexolantd.toml", "token", "jobs.db", "vexolantd.log"):
            self.assertTrue((self.state / name).is_file(), name)
        status, output = self.registry(
            r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment", "Path")
        self.assertNotIn("C:\\Program Files\\vexolant", output)


if __name__ == "__main__":
    unittest.main()
