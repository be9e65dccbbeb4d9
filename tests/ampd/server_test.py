#!/usr/bin/env python3
"""ampd against the simulator on a pseudo-terminal, worked by real clients nobody here wrote (PyVISA
with its pure-Python backend, lxi-tools) and by raw sockets for the faults; the simulator's frame
log is the witness of what crossed the line.

    server_test.py GROUP --ampd EXE --ampsim SIM --work DIR --version V [--ampctl EXE]
        [--load-seconds S] [--no-memory-slope]

ampctl through ampd (tcp://) is held to what it does on a serial port: tests/ampctl/cli_test.py.

Every wait is 'until a condition holds or a deadline passes'."""

import argparse
import datetime
import http.client
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import (OUTPUT_OFF, OUTPUT_ON, QUERIES, Ampd, Readers, Simulator, frame, frame_rate,  # noqa: E402
                     frames_per_second, run_tests, slope, vm_rss_kib, wait_until, word_frame)

TOKEN = "s3cret-token-for-tests"
# ampd's memory under load may grow by no more than this: a leak of 32 bytes a reading (there are
# 500 a second) would.
MEMORY_SLOPE_KIB_S = 16.0

args = None


class Rig:
    """The simulator (output on) and ampd on its line, with an audit file and a readings log; up
    once the link is and the first reading is in."""

    def __init__(self, name, sim_options=(), server_options=(), scpi=("127.0.0.1:0",), http=()):
        self.work = os.path.join(args.work, name)
        os.makedirs(self.work, exist_ok=True)
        self.link = os.path.join(self.work, "amp")
        self.sim = Simulator(args.ampsim, self.work, self.link, ["--output", "on"] + list(sim_options))
        try:
            audit, readings = os.path.join(self.work, "audit.log"), os.path.join(self.work, "readings.csv")
            self.server = Ampd(args.ampd, self.link, self.work, ["--audit", audit, "--log", readings]
                               + list(server_options), scpi, http)
            self.server.audit, self.server.readings = audit, readings
            client = self.server.client()
            wait_until(lambda: client.ask("LINK?") == "UP" and "E+37" not in client.ask("MEAS?"), 10,
                       "the link to come up and the first reading")
            client.close()
        except BaseException:
            self.sim.stop()
            raise

    def stop(self):
        try:
            self.server.stop()
        finally:
            self.sim.stop()

    def sent(self, since=0.0):
        return [f.hex() for f in self.sim.received(since=since)]


# ------------------------------------------------------------------------------------------------

def test_pyvisa(rig):
    """PyVISA's pure-Python backend, as a lab script would use it."""
    import pyvisa
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP0::%s::%d::SOCKET" % (rig.server.host, rig.server.port),
                            read_termination="\n", write_termination="\n", timeout=5000)
    try:
        assert inst.query("*IDN?") == "Lumacore,AMP-10W,0,%s" % args.version
        rig.sim.control("set input-dbm -3.21")
        state = rig.sim.state()
        wait_until(lambda: inst.query("MEAS:POW:INP?") == "-3.21", 5, "the input reading to follow the simulator")
        current, inp, out, temp = inst.query("MEASURE?").split(",")
        assert abs(int(current) - rig.sim.state()["current_ma"]) <= 50, (current, state)
        assert re.fullmatch(r"-?\d+\.\d\d", out) and re.fullmatch(r"-?\d+\.\d\d", temp), (out, temp)
        assert inst.query("sour:curr:max?") == str(state["max_current_ma"])

        mark = rig.sim.now()
        inst.write("SOURce:CURRent 2345")
        assert inst.query("*OPC?") == "1"
        assert inst.query("SYSTem:ERRor?") == '0,"No error"'
        assert rig.sim.state()["target_current_ma"] == 2345
        assert inst.query("SOUR:CURR?") == "2345"
        setting = "EF EF 04 0D 09 29 21"
        sent = rig.sent(mark)
        assert sent.count(setting) == 2, sent
        assert all(f in QUERIES or f == setting for f in sent), sent

        inst.write("SOUR:CURR 99999;*OPC?")
        assert inst.read() == "1"
        assert inst.query("SYST:ERR?") == '+201,"Clamped"'
        assert inst.query("SOUR:CURR?") == str(state["max_current_ma"])
        inst.write("SOUR:POW 600")
        assert inst.query("SYST:ERR?") == '-222,"Data out of range"'
    finally:
        inst.close()
        rm.close()
    audit = open(rig.server.audit).read()
    assert re.search(r"\tSOUR:CURR 2345\tconfirmed\n", audit), audit
    assert "clamped" in audit and "SOUR:POW 600\trefused" in audit, audit


def test_lxi(rig):
    """lxi-tools in raw TCP mode: a query and a setting."""
    def lxi(command):
        return subprocess.run(["lxi", "scpi", "-a", rig.server.host, "-p", str(rig.server.port), "-r", command],
                              capture_output=True, text=True, timeout=20)
    result = lxi("*IDN?")
    assert result.returncode == 0 and result.stdout.strip() == "Lumacore,AMP-10W,0,%s" % args.version, result
    mark = rig.sim.now()
    assert lxi("OUTP OFF").returncode == 0
    wait_until(lambda: rig.sent(mark).count(OUTPUT_OFF) == 2, 5, "the output OFF, twice")
    wait_until(lambda: rig.sim.state()["output"] == "off", 5, "the output to go off")
    assert lxi("OUTP?").stdout.strip() == "0"


TWO_PLACES = r"-?\d+\.\d\d"
ISO_TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
CSV_LINE = re.compile(r"^%s,\d+,%s,%s,%s$" % ((ISO_TIME,) + (TWO_PLACES,) * 3))
STATE_KEYS = ("current_ma", "input_dbm", "output_dbm", "target_current_ma", "max_current_ma", "target_power_dbm",
              "mode", "output")


def ampctl(port, *words, env=None, token=None):
    """ampctl with its port (-p unless None), AMPCTL_PORT and AMPCTL_TOKEN only as given."""
    if not args.ampctl:
        raise AssertionError("--ampctl not given")
    environment = {k: v for k, v in os.environ.items() if k not in ("AMPCTL_PORT", "AMPCTL_TOKEN")}
    environment.update(env or {})
    command = [args.ampctl] + (["-p", port] if port else []) + list(words)
    return subprocess.run(command, capture_output=True, text=True, timeout=20, env=environment)


def ampd_port(rig):
    return "tcp://%s:%d" % (rig.server.host, rig.server.port)


def _last_poll(rig):
    """The time of ampd's last reading, from its readings log (0 when there is none yet)."""
    with open(rig.server.readings) as f:
        lines = f.read().splitlines()
    try:
        stamp = datetime.datetime.strptime(lines[-1].split(",")[0], "%Y-%m-%dT%H:%M:%S.%fZ")
    except (ValueError, IndexError):
        return 0.0
    return stamp.replace(tzinfo=datetime.timezone.utc).timestamp()


def status_against_the_simulator(rig, what):
    """ampctl --json status held against the simulator's state as cli_test.py holds the serial one;
    asked once ampd has polled after the state before was taken, so its reading lies between the
    states before and after."""
    before = rig.sim.state()
    asked = time.time()
    wait_until(lambda: _last_poll(rig) > asked, 5, "a poll of ampd after the state was read")
    result = ampctl(ampd_port(rig), "--json", "status")
    state = rig.sim.state()
    assert result.returncode == 0 and len(result.stdout.splitlines()) == 1 and result.stderr == "", (what, result)
    for key in ("input_dbm", "output_dbm", "temperature_c", "target_power_dbm"):
        assert re.search(r'"%s":%s[,}]' % (key, TWO_PLACES), result.stdout), (what, key, result.stdout)
    shown = json.loads(result.stdout)
    for key in STATE_KEYS:
        assert shown[key] == state[key], (what, key, shown[key], state[key])
    low, high = sorted((before["temperature_c"], state["temperature_c"]))
    assert low - 0.01 <= shown["temperature_c"] <= high + 0.01, (what, shown, before, state)


def test_ampctl(rig):
    """ampctl with tcp:// against the real ampd, for what its tests against a fake ampd cannot show:
    the real answers read as the simulator's state; a setting confirmed by the real ampd and
    witnessed twice on the wire with nothing but queries beside it, and a clamp to the real ampd's
    range; Ctrl+C ending a watch that waits on the network; a connection refused, and a command that
    needs ampd refused before a missing device is opened. The lines each command sends and what it
    prints for each answer are ampctl's own tests'. The readings hold still from the output's
    switching off on."""
    port = ampd_port(rig)
    settings = [
        # (words, the JSON printed but for confirmed_by, the frame on the wire, standard error)
        (["output", "off"], {"output": "off"}, frame(0x26, 0), ""),
        (["set-current", "2345"], {"target_current_ma": 2345, "requested_ma": 2345, "clamped": False},
         word_frame(0x0D, 2345), ""),
        (["set-current", "99999"], {"target_current_ma": 6000, "requested_ma": 99999, "clamped": True},
         word_frame(0x0D, 6000),
         "ampctl: note: 99999 mA is outside 0 ... 6000 mA, the amplifier's range: 6000 mA sent instead\n"),
    ]
    rig.sim.control("set input-dbm -3.21")
    status_against_the_simulator(rig, "an input changed at the amplifier")
    for words, printed, sent_frame, err in settings:
        mark = rig.sim.now()
        result = ampctl(port, "--json", *words)
        assert (result.returncode, result.stderr) == (0, err), (words, result)
        assert json.loads(result.stdout) == dict(printed, confirmed_by="ampd"), (words, result.stdout)
        sent = rig.sent(mark)
        assert sent.count(sent_frame) == 2 and all(f in QUERIES or f == sent_frame for f in sent), (words, sent)
    status_against_the_simulator(rig, "after the settings")

    # Ctrl+C ends a watch without a count: exit 0, every line whole.
    watch = subprocess.Popen([args.ampctl, "-p", port, "watch", "--interval", "0.2", "--csv"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    data = b""
    deadline = time.monotonic() + 10
    while data.count(b"\n") < 3 and time.monotonic() < deadline:
        if select.select([watch.stdout], [], [], 0.05)[0]:
            data += os.read(watch.stdout.fileno(), 4096)
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=5)
    lines = (data + out).decode().split("\n")
    assert (watch.returncode, err) == (0, b""), (watch.returncode, err)
    assert lines[0] == "time,current_ma,input_dbm,output_dbm,temperature_c", lines
    assert len(lines) >= 4 and lines[-1] == "" and all(CSV_LINE.match(line) for line in lines[1:-1]), lines

    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    nobody = "tcp://127.0.0.1:%d" % closed.getsockname()[1]
    closed.close()
    for where, words, code, err in [
            (nobody, ["output", "off"], 3, "ampctl: cannot reach ampd at %s: Connection refused\n" % nobody),
            (os.path.join(rig.work, "no-such-device"), ["alarms"], 2,
             "ampctl: alarms needs ampd: give -p tcp://HOST:PORT\n")]:
        result = ampctl(where, *words)
        assert (result.returncode, result.stdout, result.stderr) == (code, "", err), (where, words, result)


def test_ampctl_token(rig):
    """ampd with a token file: ampctl reads the token from --token-file and from AMPCTL_TOKEN and
    the real ampd takes it or refuses it (exit 3, nothing on the wire but queries). The token is in
    no output and on no command line. Which wins, and how a refusal reads, are ampctl's own tests'."""
    port = ampd_port(rig)
    wrong = os.path.join(rig.work, "wrong-token")
    with open(wrong, "w") as f:
        f.write("not-the-token\n")
    right = os.path.join(rig.work, "right-token")
    with open(right, "w") as f:
        f.write("  %s\r\n" % TOKEN)  # as ampd reads its own: the first line, blanks around it dropped
    off, on = frame(0x26, 0), frame(0x26, 1)
    refused = "ampctl: %s: control refused: ampd did not accept the token\n" % port
    cases = [
        # (options, environment, words, exit code, standard error, the frame sent twice or None)
        # ampd answers a wrong token slowly, the longer the more come in a row: a right one between.
        (["--token-file", wrong], None, ["output", "off"], 3, refused, None),
        ([], {"AMPCTL_TOKEN": TOKEN}, ["output", "off"], 0, "", off),
        ([], {"AMPCTL_TOKEN": "not-the-token"}, ["output", "on"], 3, refused, None),
        (["--token-file", right], None, ["output", "on"], 0, "", on),
    ]
    for options, env, words, code, err, sent_frame in cases:
        mark = rig.sim.now()
        result = ampctl(port, *(options + words), env=env)
        assert (result.returncode, result.stderr) == (code, err), (options, env, words, result)
        assert TOKEN not in result.stdout + result.stderr
        sent = rig.sent(mark)
        assert all(f in QUERIES or f == sent_frame for f in sent), (words, sent)
        if sent_frame:
            assert sent.count(sent_frame) == 2, (words, sent)
    for path in (rig.server.audit, rig.server.err_path):
        assert TOKEN not in open(path).read(), "a token reached %s" % path


# ------------------------------------------------------------------------------------------------
# Faults

def test_unplug_and_replug(rig):
    client = rig.server.client()
    rig.sim.control("unplug")
    wait_until(lambda: client.ask("LINK?") == "DOWN", 10, "LINK? to answer DOWN")
    client.send("OUTP OFF")
    assert client.ask("SYST:ERR?") == '+230,"Link down"'
    time.sleep(1.5)  # down for longer than a blip: recorded
    mark = rig.sim.now()
    rig.sim.control("replug")
    wait_until(lambda: client.ask("LINK?") == "UP", 15, "LINK? to answer UP after the replug")
    time.sleep(1.0)  # the polls after link-up
    sent = rig.sent(mark)
    assert sent and all(f in QUERIES for f in sent), "only queries after a replug: %s" % sent
    assert client.ask("ALAR?").startswith("LINK "), "the outage is recorded"
    client.close()


def test_hostile_clients(rig):
    """Random bytes, NULs, invalid UTF-8, a 1 MB line and a client killed mid-command: the server
    lives, nothing reaches the line, and another client is answered throughout."""
    bystander = rig.server.client()
    mark = rig.sim.now()
    rnd = random.Random(7)
    junk = [bytes(rnd.randrange(256) for _ in range(4000)).replace(b"\n", b"") + b"\n",
            b"\x00" * 100 + b"\n", b"SOUR:CURR \xff\xfe\xc3\x28 1\n", b"OUTP \xe2\x82\n", b";;;:::***\n",
            b"OUTP ON" + b"\x00" + b"\n"]
    for payload in junk:
        c = rig.server.client()
        c.sock.sendall(payload)
        assert c.ask("*IDN?").startswith("Lumacore,"), payload[:20]
        c.close()
        assert bystander.ask("LINK?") == "UP"
    big = rig.server.client()
    try:
        big.sock.sendall(b"A" * 1000000 + b"\n")
    except OSError:
        pass
    assert big.read().startswith("-223,"), "a line too long is refused"
    wait_until(lambda: big.closed(), 5, "the connection with a line too long to close")
    killed = subprocess.Popen([sys.executable, "-c", "import socket,sys,os; s=socket.create_connection(('%s',%d)); "
                               "s.sendall(b'SOUR:CURR 1'); os._exit(0)" % (rig.server.host, rig.server.port)])
    killed.wait(10)
    answer = bystander.ask("MEAS:CURR?")
    assert answer.isdigit(), answer
    sent = rig.sent(mark)
    assert all(f in QUERIES for f in sent), "a hostile client's bytes reached the line: %s" % sent
    assert rig.server.running()
    bystander.close()


def test_limits(rig):
    clients = [rig.server.client() for _ in range(32)]
    extra = rig.server.client()
    assert extra.read() == '+240,"Too many clients;at most 32 from one address"', "the 33rd client is told why"
    wait_until(lambda: extra.closed(), 5, "the 33rd client to be closed")
    assert clients[31].ask("*IDN?").startswith("Lumacore,")
    other = rig.server.client("127.0.0.2")
    assert other.ask("*IDN?").startswith("Lumacore,"), "another address still has room"
    other.close()
    clients[0].send(";".join(["FOO"] * 40))
    errors = clients[0].errors()
    assert len(errors) == 32 and errors[-1] == '-350,"Queue overflow"', errors
    for c in clients:
        c.close()


def test_token(rig):
    """With a token file every client needs the token for control; reading needs none."""
    c = rig.server.client()
    mark = rig.sim.now()
    c.send("OUTP OFF")
    assert c.ask("SYST:ERR?") == '+220,"Not authorised"'
    assert c.ask("MEAS:CURR?").isdigit(), "reading needs no token"
    started = time.monotonic()
    c.send("SYST:AUTH wrong-token")
    assert c.ask("SYST:ERR?") == '+220,"Not authorised"'
    assert time.monotonic() - started >= 0.4, "a wrong token is answered slowly"
    c.send('SYST:AUTH "%s"' % TOKEN)
    c.send("OUTP OFF")
    assert c.ask("*OPC?") == "1"
    assert c.ask("SYST:ERR?") == '0,"No error"'
    assert rig.sent(mark).count(OUTPUT_OFF) == 2
    for path in (rig.server.audit, rig.server.err_path):
        text = open(path).read()
        assert TOKEN not in text and "wrong-token" not in text, "a token reached %s" % path
    assert "SYST:AUTH <token>\trefused" in open(rig.server.audit).read()
    c.close()


def test_startup_refusals(_rig):
    """Listening beyond loopback without a token file is refused at start (exit 2)."""
    result = subprocess.run([args.ampd, "-p", "/nonexistent", "--scpi", "0.0.0.0:0"], capture_output=True, text=True,
                            timeout=10)
    assert result.returncode == 2 and "token" in result.stderr, result


# ------------------------------------------------------------------------------------------------
# The guard

def test_guard(rig):
    c = rig.server.client()
    assert c.ask("ALAR?") == "NONE"
    mark = rig.sim.now()
    rig.sim.control("set input-dbm -40")
    wait_until(lambda: rig.sent(mark).count(OUTPUT_OFF) == 2, 5, "the guard to switch the output off")
    assert rig.sim.state()["output"] == "off"
    alarm = c.ask("ALAR?")
    assert alarm.startswith("MIN-INPUT -40.00 "), alarm
    sent = rig.sent(mark)
    assert sent.count(OUTPUT_OFF) == 2 and OUTPUT_ON not in sent, sent
    c.send("OUTP ON")
    assert c.ask("SYST:ERR?") == '+202,"Alarm latched"'
    rig.sim.control("set input-dbm 0")
    c.send("ALAR:CLE")
    assert c.ask("ALAR?") == "NONE"
    c.send("OUTP ON")
    assert c.ask("*OPC?") == "1" and c.ask("SYST:ERR?") == '0,"No error"'
    assert rig.sim.state()["output"] == "on"
    audit = open(rig.server.audit).read()
    assert "guard\tALARM MIN-INPUT -40.00\tlatched" in audit and "guard\tOUTP OFF\tconfirmed" in audit, audit
    wait_until(lambda: rig.server.said("alarm MIN-INPUT -40.00: switching the output off"), 5, "ampd to name the alarm")
    c.close()


def test_ampctl_alarms(rig):
    """ampctl alarms and clear-alarms against the guard: none, one after a trip, the output kept
    off while it is latched (exit 1, no ON on the wire), none again once cleared."""
    port = ampd_port(rig)
    on = frame(0x26, 1)
    assert ampctl(port, "alarms").stdout == "" and ampctl(port, "--json", "alarms").stdout == "[]\n"
    rig.sim.control("set input-dbm -40")
    wait_until(lambda: ampctl(port, "alarms").stdout != "", 5, "ampctl alarms to show the guard's trip")
    text = ampctl(port, "alarms")
    assert text.returncode == 0 and re.fullmatch(r"MIN-INPUT -40\.00 %s\n" % ISO_TIME, text.stdout), text
    shown = json.loads(ampctl(port, "--json", "alarms").stdout)
    assert shown == [{"name": "MIN-INPUT", "value": -40.0, "time": text.stdout.split()[2]}], shown
    wait_until(lambda: rig.sim.state()["output"] == "off", 5, "the guard to switch the output off")
    mark = rig.sim.now()
    result = ampctl(port, "output", "on")
    assert (result.returncode, result.stdout, result.stderr) == (
        1, "", "ampctl: refused: an alarm is latched (ampctl alarms; clear-alarms)\n"), result
    assert on not in rig.sent(mark)
    rig.sim.control("set input-dbm 0")
    assert ampctl(port, "clear-alarms").returncode == 0
    assert ampctl(port, "--json", "alarms").stdout == "[]\n"
    mark = rig.sim.now()
    result = ampctl(port, "output", "on")
    assert (result.returncode, result.stdout) == (0, "output ON, confirmed by ampd\n"), result
    assert rig.sent(mark).count(on) == 2


# ------------------------------------------------------------------------------------------------
# Load

def test_many_readers(rig):
    """100 SCPI readers at 5 Hz and ten of the page's event streams with its state asked for beside
    them cost the wire nothing: the frames a second are the poll's alone, with them and without.
    Every reader is answered throughout, and ampd's memory, sampled from a second after they came,
    shows no slope. The test command runs this for a few seconds (--load-seconds), and
    scripts/endurance.sh readers for a minute."""
    quiet = frames_per_second(rig.sim, 2)
    pid = rig.server.process.pid
    address = rig.server.http[0]
    stop = threading.Event()
    page_failures = []

    def page():
        try:
            with socket.create_connection(address, timeout=10) as events:
                events.sendall(b"GET /api/events HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (address[0].encode(), address[1]))
                events.settimeout(0.2)
                while not stop.is_set():
                    try:
                        events.recv(65536)
                    except socket.timeout:
                        pass
                    state = http.client.HTTPConnection(*address, timeout=10)
                    state.request("GET", "/api/state")
                    assert state.getresponse().status == 200
                    state.close()
        except Exception as e:  # noqa: BLE001 - collected and reported below
            page_failures.append(repr(e))

    pages = [threading.Thread(target=page) for _ in range(10)]
    for t in pages:
        t.start()
    readers = Readers(rig.server.port, 100)
    try:
        time.sleep(1.0)  # every connection made, ampd's buffers grown to their size
        mark, started = rig.sim.now(), time.monotonic()
        memory = []
        while time.monotonic() - started < args.load_seconds:
            memory.append((time.monotonic() - started, vm_rss_kib(pid)))
            time.sleep(0.25)
        busy = frame_rate(rig.sim.received(since=mark))
    finally:
        stop.set()
        readers.stop()
        for t in pages:
            t.join(30)
    kib_a_second = slope(memory)
    print("figure: frames per second on the wire: %.2f alone, %.2f with 100 readers at 5 Hz and 10 event streams; "
          "answers per reader %d..%d; ampd VmRSS %d -> %d KiB (%+.1f KiB/s)"
          % (quiet, busy, min(readers.answered), max(readers.answered), memory[0][1], memory[-1][1], kib_a_second))
    assert not page_failures, page_failures[:5]
    assert min(readers.answered) > 0, "a reader was never answered"
    assert abs(busy - quiet) <= 0.5, (quiet, busy)
    if args.no_memory_slope:
        print("test_many_readers: ampd's memory slope not judged: the sanitizers' allocator keeps what is freed "
              "(LeakSanitizer checks ampd as it stops)")
    else:
        assert kib_a_second <= MEMORY_SLOPE_KIB_S, "ampd's memory grew %.1f KiB/s under load" % kib_a_second


# ------------------------------------------------------------------------------------------------
# HTTP

def request(rig, method, path, body=None, headers=None, host=None):
    """One HTTP request on a fresh connection; (status, headers, body as text)."""
    import http.client
    address, port = rig.server.http[0]
    connection = http.client.HTTPConnection(address, port, timeout=10)
    try:
        all_headers = {"Host": host or "%s:%d" % (address, port)}
        if body is not None:
            all_headers["Content-Type"] = "application/json"
        all_headers.update(headers or {})
        connection.request(method, path, body=body, headers=all_headers)
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read().decode("utf-8", "replace")
    finally:
        connection.close()


def test_http_faults(rig):
    """A Host ampd does not serve, POSTs without or with a wrong token, from another origin or not as
    JSON, a 10 MB body, malformed JSON, and 100 event streams dropped at once: each is refused with
    a clear answer, the server lives, and nothing reaches the line."""
    mark = rig.sim.now()
    import json as jsonlib
    status, headers, body = request(rig, "GET", "/api/state")
    assert status == 200 and jsonlib.loads(body)["link"] == "up" and jsonlib.loads(body)["control"] == "token"
    assert headers["Content-Security-Policy"] == "default-src 'self'" and headers["X-Frame-Options"] == "DENY"
    off = '{"on": false}'
    cases = [
        ("a Host it does not serve (DNS rebinding)", "GET", "/api/state", None, {}, "evil.example:80", 421),
        ("a POST without a token", "POST", "/api/output", off, {}, None, 401),
        ("a POST with a wrong token", "POST", "/api/output", off, {"Authorization": "Bearer nope-nope"}, None, 401),
        ("a token in a cookie", "POST", "/api/output", off, {"Cookie": "token=" + TOKEN}, None, 401),
        ("a POST from another site", "POST", "/api/output", off,
         {"Authorization": "Bearer " + TOKEN, "Origin": "http://evil.example"}, None, 403),
        ("a POST that is not JSON", "POST", "/api/output", None,
         {"Authorization": "Bearer " + TOKEN, "Content-Type": "text/plain"}, None, 403),
        ("malformed JSON", "POST", "/api/output", '{"on": tru', {"Authorization": "Bearer " + TOKEN}, None, 400),
        ("a body of 10 MB", "POST", "/api/output", "x" * 10000000, {"Authorization": "Bearer " + TOKEN}, None, 413),
        ("a value off the scale", "POST", "/api/power", '{"dbm": 600}', {"Authorization": "Bearer " + TOKEN}, None,
         422),
        ("an unknown page", "GET", "/etc/passwd", None, {}, None, 404),
    ]
    for what, method, path, body, headers, host, expected in cases:
        try:
            status, _, text = request(rig, method, path, body, headers, host)
        except (ConnectionResetError, BrokenPipeError):
            status, text = "reset", ""
        assert status == expected, (what, status, text)
        assert status == 404 or '"ok":false' in text, (what, text)
    streams = []
    for i in range(100):
        s = socket.create_connection(rig.server.http[0], timeout=10)
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (rig.server.http[0][0].encode(),
                                                                          rig.server.http[0][1]))
        streams.append(s)
    for s in streams:
        s.settimeout(5)
        got = b""
        while b"event: reading" not in got:
            chunk = s.recv(4096)
            assert chunk, "an event stream closed: %r" % got
            got += chunk
    for s in streams:
        s.close()
    sent = rig.sent(mark)
    assert all(f in QUERIES for f in sent), "a refused request reached the line: %s" % sent
    status, _, body = request(rig, "POST", "/api/output", off, {"Authorization": "Bearer " + TOKEN})
    assert status == 200 and jsonlib.loads(body) == {"ok": True, "sent": 0, "clamped": False}, body
    assert rig.sent(mark).count(OUTPUT_OFF) == 2
    _, _, metrics = request(rig, "GET", "/metrics")
    assert "amp_settings_confirmed_total 1" in metrics and "amp_link_up 1" in metrics, metrics
    assert TOKEN not in open(rig.server.audit).read()


def test_prometheus(rig):
    """A real Prometheus scrapes ampd every second: its query API gives the simulator's diode
    temperature and amp_link_up 1, then 0 after an unplug."""
    import json as jsonlib
    import urllib.request
    address, port = rig.server.http[0]
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        prometheus_port = s.getsockname()[1]
    config = os.path.join(rig.work, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: amp\n    static_configs:\n"
                "      - targets: ['%s:%d']\n" % (address, port))
    tsdb = os.path.join(rig.work, "tsdb")
    shutil.rmtree(tsdb, ignore_errors=True)  # an earlier run's series would answer the queries
    prometheus = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + tsdb,
                                   "--web.listen-address=127.0.0.1:%d" % prometheus_port],
                                  stdout=subprocess.DEVNULL, stderr=open(os.path.join(rig.work, "prometheus.err"), "w"))

    def query(expression):
        url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (prometheus_port, expression)
        try:
            with urllib.request.urlopen(url, timeout=5) as answer:
                result = jsonlib.load(answer)["data"]["result"]
        except OSError:
            return None
        return float(result[0]["value"][1]) if result else None

    try:
        # The README's example alert rule is one Prometheus takes.
        readme = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")).read()
        block = readme[readme.index("\n    groups:\n") + 1:]
        block = block[:block.index("\n\n")]
        rules = os.path.join(rig.work, "rules.yml")
        with open(rules, "w") as f:
            f.write("\n".join(line[4:] for line in block.splitlines()) + "\n")
        checked = subprocess.run(["promtool", "check", "rules", rules], capture_output=True, text=True, timeout=30)
        assert checked.returncode == 0, checked.stdout + checked.stderr
        temperature = wait_until(lambda: query("amp_diode_temperature_celsius"), 30, "Prometheus to scrape ampd")
        assert abs(temperature - rig.sim.state()["temperature_c"]) < 0.5, (temperature, rig.sim.state())
        assert wait_until(lambda: query("amp_link_up") == 1.0, 10, "amp_link_up 1")
        rig.sim.control("unplug")
        wait_until(lambda: query("amp_link_up") == 0.0, 15, "amp_link_up 0 after the unplug")
    finally:
        prometheus.terminate()
        prometheus.wait(10)


GROUPS = {
    "clients": [(test_pyvisa, {}), (test_lxi, {}), (test_ampctl, {}), (test_ampctl_token, {"token": True})],
    "faults": [(test_unplug_and_replug, {}), (test_hostile_clients, {}), (test_limits, {}),
               (test_token, {"token": True}), (test_startup_refusals, None)],
    "guard": [(test_guard, {"server_options": ["--guard", "min-input=-30"]}),
              (test_ampctl_alarms, {"server_options": ["--guard", "min-input=-30"]})],
    "load": [(test_many_readers, {"http": ["127.0.0.1:0"]})],
    "http": [(test_http_faults, {"token": True, "http": ["127.0.0.1:0"]}),
             (test_prometheus, {"http": ["127.0.0.1:0"]})],
}


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("--ampd", required=True)
    parser.add_argument("--ampsim", required=True)
    parser.add_argument("--ampctl")
    parser.add_argument("--work", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--load-seconds", type=float, default=5, help="how long the 100 readers read")
    parser.add_argument("--no-memory-slope", action="store_true",
                        help="a sanitizer build: its allocator's own growth hides ampd's memory slope")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    setups = dict(GROUPS[args.group])

    def rig_for(test):
        if setups[test] is None:
            return None
        setup = dict(setups[test])
        if setup.pop("token", False):
            token_file = os.path.join(args.work, "token")
            with open(token_file, "w") as f:
                f.write(TOKEN + "\n")
            setup["server_options"] = ["--token-file", token_file] + setup.get("server_options", [])
        return Rig(test.__name__, **setup)

    return run_tests([test for test, _ in GROUPS[args.group]], rig_for)


if __name__ == "__main__":
    sys.exit(main())
