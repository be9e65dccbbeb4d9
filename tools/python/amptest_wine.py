"""Process figures from /proc, and the panel under Wine: its driver, the panel and the rig of
simulator, panel and driver; part of amptest (which the tests import)."""

import os
import select
import subprocess

from amptest_sim import COM, IDC_OPEN_PORT, IDC_PORT_LIST, STATUS_QUERY, Simulator, wait_until


# ------------------------------------------------------------------------------------------------
# Process figures (/proc)

CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, every thread of the process


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for process %d" % pid)


def wineserver_pid(prefix):
    """The prefix's server, or None: it runs in the server folder named after the prefix's device
    and inode."""
    info = os.stat(prefix)
    folder = "server-%x-%x" % (info.st_dev, info.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as comm:
                if not comm.read().startswith("wineserver"):  # wineserver64 on 64-bit Wine
                    continue
            if os.path.basename(os.readlink("/proc/%s/cwd" % entry)) == folder:
                return int(entry)
        except OSError:
            continue
    return None


# ------------------------------------------------------------------------------------------------
# The panel under Wine

class Driver:
    """The panel driver under Wine: one command per line, one answer per line."""

    def __init__(self, wine_run, driver_exe, env=None):
        self.process = subprocess.Popen([wine_run, driver_exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1, env=env)

    def __call__(self, command, timeout=30):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise AssertionError("driver gave no answer to %r" % command)
        answer = self.process.stdout.readline().rstrip("\n")
        if not answer.startswith("ok"):
            raise AssertionError("driver: %r -> %r" % (command, answer))
        return answer[3:]

    def text(self, control_id):
        return self("text %d" % control_id)

    def port_list(self):
        items, _, _ = self("items %d" % IDC_PORT_LIST).partition(" sel ")
        return items.split(",") if items else []

    def select_port(self, name):
        names = self.port_list()
        assert name in names, "%s not in the port list %s" % (name, names)
        self("select %d %d" % (IDC_PORT_LIST, names.index(name)))

    def dismiss_error_boxes(self):
        """The port engine reports line failures in message boxes; an operator would dismiss them."""
        texts = []
        while True:
            try:
                texts.append(self("msgbox 300"))
            except AssertionError:
                return texts

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()


class Panel:
    """The real program under Wine."""

    def __init__(self, wine_run, panel_exe, work):
        self.process = subprocess.Popen([wine_run, panel_exe], stdout=open(os.path.join(work, "panel.out"), "w"),
                                        stderr=subprocess.STDOUT)

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
            self.process.wait(10)


def screen_pixel(x, y):
    """The colour at a point of the X display, read from a screenshot (not from Wine)."""
    out = subprocess.run(["import", "-silent", "-window", "root", "-crop", "1x1+%d+%d" % (x, y), "-depth", "8", "txt:-"],
                         capture_output=True, text=True, timeout=30).stdout
    # "0,0: (255,0,0)  #FF0000  red"
    for line in out.splitlines():
        if line.startswith("0,0:"):
            rgb = line.split("(")[1].split(")")[0].split(",")
            return tuple(int(float(v)) for v in rgb[:3])
    raise AssertionError("could not read the screen: %r" % out)


class Rig:
    """Simulator on COM<COM> of the prefix, panel and driver, started fresh; stopped whatever
    happens. args: ampsim, wine_run, panel, driver, prefix, work."""

    def __init__(self, args, sim_options=()):
        self.args = args
        os.makedirs(args.work, exist_ok=True)
        self.link = os.path.join(args.prefix, "dosdevices", "com%d" % COM)
        try:
            self.sim = Simulator(args.ampsim, args.work, self.link, sim_options)
            self.start_panel()
        except BaseException:
            self.stop()  # the parts already started
            raise

    def start_panel(self):
        self.panel = Panel(self.args.wine_run, self.args.panel, self.args.work)
        self.drive = Driver(self.args.wine_run, self.args.driver)
        self.drive("find 30000")

    def stop(self):
        for part in ("drive", "panel", "ampd", "sim"):
            if getattr(self, part, None):
                getattr(self, part).stop()

    def text(self, control_id):
        return self.drive.text(control_id)

    def port_list(self):
        return self.drive.port_list()

    def select_port(self, name):
        self.drive.select_port(name)

    def type_into(self, box, text):
        """Focuses the box with a click, empties it and types the text through its key filter."""
        self.drive("click %d" % box)
        self.drive("settext %d " % box)
        self.drive("type %d %s" % (box, text))
        wait_until(lambda: self.text(box) == text, 5, "%r typed into %d" % (text, box))

    def open_and_link(self):
        self.select_port("COM%d" % COM)
        clicked = self.sim.now()
        self.drive("click %d" % IDC_OPEN_PORT)
        wait_until(lambda: self.text(IDC_OPEN_PORT) == "ClosePort", 10, "the button to read ClosePort")
        wait_until(lambda: self.sim.received(STATUS_QUERY, since=clicked), 10, "the first status poll")
        return clicked

    def dismiss_error_boxes(self):
        return self.drive.dismiss_error_boxes()
