"""ampd, a line-based SCPI client, readers at 5 Hz, and headless Chromium for the page; part of
amptest (which the tests import)."""

import os
import re
import select
import socket
import subprocess
import threading
import time

from amptest_sim import terminate


# ------------------------------------------------------------------------------------------------
# ampd and its clients

class Ampd:
    """ampd on a line, started with its endpoints (free loopback ports unless told) and taken as
    up once it has said where each listens. What it says goes to <work>/ampd.err and to `lines`."""

    def __init__(self, ampd, line, work, options=(), scpi=("127.0.0.1:0",), http=(), env=None):
        self.err_path = os.path.join(work, "ampd.err")
        command = [ampd, "-p", line]
        for endpoint in scpi:
            command += ["--scpi", endpoint]
        for endpoint in http:
            command += ["--http", endpoint]
        self.err = open(self.err_path, "w")
        self.process = subprocess.Popen(command + list(options), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True, env=env)
        self.endpoints = []
        self.http = []
        self.lines = []
        deadline = time.monotonic() + 10
        while len(self.endpoints) < len(scpi) or len(self.http) < len(http):
            ready, _, _ = select.select([self.process.stderr], [], [], max(0.0, deadline - time.monotonic()))
            said = self.process.stderr.readline() if ready else ""
            if not said:
                self.stop()
                raise AssertionError("ampd did not start listening: %s" % "".join(self.lines))
            self._keep(said)
            found = re.search(r"(SCPI|HTTP) on \[?([0-9a-fA-F.:]+?)\]?:(\d+)", said)
            if found:
                (self.endpoints if found.group(1) == "SCPI" else self.http).append(
                    (found.group(2), int(found.group(3))))
        self.host, self.port = self.endpoints[0] if self.endpoints else (None, None)
        self.http_port = self.http[0][1] if self.http else None
        threading.Thread(target=self._drain, daemon=True).start()

    def _keep(self, said):
        self.lines.append(said)
        self.err.write(said)
        self.err.flush()

    def _drain(self):
        for said in self.process.stderr:
            self._keep(said)

    def said(self, text):
        return any(text in said for said in self.lines)

    def client(self, source=None):
        return ScpiClient(self.port, self.host, source)

    def running(self):
        return self.process.poll() is None

    def stop(self):
        """SIGTERM, and the clean stop it starts: exit 0 (under the sanitizers, also no leak)."""
        if self.process.poll() is None:
            if not terminate(self.process):
                raise AssertionError("ampd did not stop on SIGTERM")
            if self.process.returncode != 0:
                raise AssertionError("ampd stopped with exit %d: %s" % (self.process.returncode, self.err_path))
        self.err.close()


class ScpiClient:
    """A plain SCPI client on a socket: a line out, a line back."""

    def __init__(self, port, host="127.0.0.1", source=None, timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def send(self, line):
        self.sock.sendall(line.encode() + b"\n")

    def read(self, timeout=10):
        self.sock.settimeout(timeout)
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("ampd closed the connection")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode()

    def ask(self, line, timeout=10):
        self.send(line)
        return self.read(timeout)

    def errors(self):
        """The error queue, read until it says no error."""
        found = []
        while True:
            error = self.ask("SYST:ERR?")
            if error.startswith("0,"):
                return found
            found.append(error)

    def closed(self):
        """Whether the server has closed this connection."""
        try:
            self.sock.settimeout(0.1)
            return self.sock.recv(1) == b""
        except socket.timeout:
            return False
        except OSError:
            return True

    def close(self):
        self.sock.close()


class Readers:
    """Clients reading MEAS? at 5 Hz each, from four loopback addresses (ampd takes at most 32
    connections from one), until stopped. `answered` counts each reader's readings."""

    def __init__(self, port, count):
        self.stop_event = threading.Event()
        self.answered = [0] * count
        self.failures = []
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._read, args=(port, i, "127.0.0.%d" % (1 + i % 4), i / count))
                        for i in range(count)]
        for thread in self.threads:
            thread.start()

    @property
    def answers(self):
        return sum(self.answered)

    def _read(self, port, index, source, phase):
        try:
            client = ScpiClient(port, source=source)
            self.stop_event.wait(phase * 0.2)  # spread over the period, not all at once
            next_at = time.monotonic()
            while not self.stop_event.is_set():
                answer = client.ask("MEAS?")
                with self.lock:
                    if answer.count(",") == 3:
                        self.answered[index] += 1
                    else:
                        self.failures.append(answer)
                next_at += 0.2
                self.stop_event.wait(max(0.0, next_at - time.monotonic()))
            client.close()
        except Exception as error:  # noqa: BLE001 - reported by stop()
            with self.lock:
                self.failures.append(repr(error))

    def stop(self):
        self.stop_event.set()
        for thread in self.threads:
            thread.join(30)
        if self.failures:
            raise AssertionError("%d reader failures, first %s" % (len(self.failures), self.failures[0]))


# ------------------------------------------------------------------------------------------------
# The page's browser

def chromium(profile, size=(1280, 900), binary="/usr/bin/chromium", chromedriver="/usr/bin/chromedriver",
             log_path=None, console=False, flags=()):
    """Headless Chromium through Selenium (Debian's), with a profile folder of its own."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=%d,%d" % size) + tuple(flags):
        options.add_argument(flag)
    if console:
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(chromedriver, log_path=log_path) if log_path else Service(chromedriver)
    return webdriver.Chrome(service=service, options=options)
