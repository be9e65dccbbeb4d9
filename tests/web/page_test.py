#!/usr/bin/env python3
"""ampd's web page in a real browser (headless Chromium through Selenium), against the real ampd on
the simulator: what shows in the page, and what crossed the line (the simulator's frame log).

    page_test.py --ampd EXE --ampsim SIM --work DIR [--soak-seconds S] [--only NAME]

One browser for the whole run. The page keeps its two dygraphs on window.ampPlot (power, pump);
the tests read the plotted rows through them. Every wait is 'until a condition holds or a
deadline passes'."""

import argparse
import os
import re
import shutil
import sys
import tempfile
import threading
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from amptest import OUTPUT_OFF, OUTPUT_ON, Ampd, Results, Simulator, chromium, slope, wait_until, word_frame  # noqa: E402

from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

TOKEN = "s3cret-token-for-tests"
CONTROLS = ["mode-acc", "mode-apc", "current-input", "current-set", "power-input", "power-set", "output-on",
            "output-off", "alarm-clear"]
VALUE_READOUTS = ["ro-current", "ro-output-power", "ro-input-power", "ro-temperature", "ro-target-current",
                  "ro-target-power", "ro-mode", "ro-output"]
DESKTOP = (1280, 900)
# How much the page may grow a second, after a garbage collection, while every reading changes. Its
# trend keeps the last hour, a point a second, and grows by some 8 kB/s for that hour; a node or a
# listener left behind every redraw (one a second) or every reading (5) would grow faster.
FLAT_PAGE = {"JSHeapUsedSize": 25000, "Nodes": 0.5, "JSEventListeners": 0.5}
PHONE = (360, 740)

args = None


class Rig:
    """The simulator (output on) and ampd serving HTTP (and SCPI) on it, started fresh."""

    def __init__(self, name, browser, token=False, guard=None):
        self.name = name
        self.browser = browser
        self.work = os.path.join(args.work, name)
        os.makedirs(self.work, exist_ok=True)
        self.link = os.path.join(self.work, "amp")
        options = []
        if token:
            token_file = os.path.join(self.work, "token")
            with open(token_file, "w") as f:
                f.write(TOKEN + "\n")
            options += ["--token-file", token_file]
        if guard:
            options += ["--guard", guard]
        self.sim = Simulator(args.ampsim, self.work, self.link, ["--output", "on"])
        try:
            self.server = Ampd(args.ampd, self.link, self.work, options, http=("127.0.0.1:0",))
        except BaseException:
            self.sim.stop()
            raise
        self.url = "http://%s:%d/" % self.server.http[0]

    def stop(self):
        try:
            self.server.stop()
        finally:
            self.sim.stop()

    def sent(self, hexbytes, since):
        return len(self.sim.received(hexbytes, since=since))


class Browser:
    """Headless Chromium, one for the whole run, with its console kept for the last check."""

    def __init__(self, work):
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
        self.driver = chromium(self.profile, DESKTOP, args.chromium, args.chromedriver,
                               log_path=os.path.join(work, "chromedriver.log"), console=True)
        self.console = []

    def js(self, script, *params):
        return self.driver.execute_script(script, *params)

    def element(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def text(self, element_id):
        """The text the page shows in an element (as rendered, upper case where the style says)."""
        return self.element(element_id).text

    def value_text(self, readout_id):
        return self.js("return document.querySelector('#%s .value').textContent" % readout_id)

    def mark_text(self, readout_id):
        return self.js("return document.querySelector('#%s .mark').textContent" % readout_id)

    def collect_console(self):
        self.console += self.driver.get_log("browser")

    def open(self, url):
        self.driver.get(url)
        wait_until(lambda: self.js("return document.readyState") == "complete", 10, "the page to load")

    def size(self, width, height):
        self.driver.set_window_size(width, height)
        wait_until(lambda: self.js("return window.innerWidth") <= width, 5, "the window to be %d wide" % width)

    def stop(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)


def wait_live(b, timeout=15):
    """Readings arrive and show as live, the link UP."""
    wait_until(lambda: b.value_text("ro-link") == "UP" and b.value_text("ro-current") != "–"
               and all(b.mark_text(r) == "" for r in VALUE_READOUTS), timeout, "live readouts and the link UP")


def status_says(b, text):
    return text in b.text("status")


# ------------------------------------------------------------------------------------------------
# With a token file and a guard

def test_readouts_follow(rig):
    """A value set in the simulator shows in the readouts within a second, as live."""
    b = rig.browser
    wait_live(b)
    state = rig.sim.state()
    assert b.value_text("ro-mode") == state["mode"].upper() and b.value_text("ro-output") == "ON"
    assert b.value_text("ro-target-current") == str(state["target_current_ma"])
    assert "Live" in b.text("freshness"), b.text("freshness")
    started = time.monotonic()
    rig.sim.control("set input-dbm -3.21")
    wait_until(lambda: b.value_text("ro-input-power") == "-3.21", 1.0, "the input readout to read -3.21")
    took = time.monotonic() - started
    print("figure: a value set in the simulator shown in the page after %.0f ms" % (took * 1000))
    assert b.mark_text("ro-input-power") == "", "shown as live"
    assert b.text("ro-input-power").splitlines()[1:2] == ["-3.21 dBm"], b.text("ro-input-power")


def test_plot(rig):
    """The trend has points, its last ones the readings shown, and a reload fills it from the last
    hour's history at once."""
    b = rig.browser
    rows = lambda name: b.js("return window.ampPlot ? window.ampPlot.%s.numRows() : 0" % name)
    wait_until(lambda: rows("power") >= 5 and rows("pump") >= 5, 15, "five points in both graphs")
    rig.sim.control("set input-dbm -1.23")
    last = "const g = window.ampPlot.%s; return g.getValue(g.numRows() - 1, %d)"
    wait_until(lambda: b.js(last % ("power", 2)) == -1.23, 3, "the last input point to be -1.23")
    shown = int(b.value_text("ro-current"))
    plotted = b.js(last % ("pump", 1))
    assert abs(plotted - shown) <= 50, (plotted, shown)
    times = b.js("const g = window.ampPlot.power; return [g.getValue(0, 0), g.getValue(g.numRows() - 1, 0)]")
    assert times[1] - times[0] >= 4000, "one point a second: %s" % times
    assert b.js("return Array.from(document.querySelectorAll('#plot-power canvas')).length") >= 1

    before = rows("power")
    reloaded = time.time() * 1000
    b.open(rig.url)
    wait_until(lambda: rows("power") >= before, 3, "the reloaded page's plot to hold the history")
    first = b.js("return window.ampPlot.power.getValue(0, 0)")
    assert first <= reloaded - 4000, "the points before the reload came from the history"
    wait_live(b)


def test_controls_need_token(rig):
    """Without the token the controls are disabled; a wrong one is refused and the page says so;
    nothing reaches the line."""
    b = rig.browser
    for control in CONTROLS:
        assert not b.element(control).is_enabled(), "%s enabled without a token" % control
    token = b.element("token")
    assert token.is_displayed() and token.get_attribute("type") == "password"
    assert "token" in b.text("access").lower()
    mark = rig.sim.now()
    token.send_keys("wrong-token-123")
    wait_until(lambda: all(b.element(c).is_enabled() for c in CONTROLS), 2, "the controls enabled by a token")
    b.element("output-off").click()
    wait_until(lambda: status_says(b, "Not authorised"), 20, "the page to say 'Not authorised'")
    assert "refused" in b.text("status"), b.text("status")
    assert b.value_text("ro-output") == "ON"
    assert rig.sent(OUTPUT_OFF, mark) == 0 and rig.sim.state()["output"] == "on", "a wrong token reached the line"
    cookies = b.driver.get_cookies()
    stored = b.js("return [localStorage.length, document.cookie]")
    assert not cookies and stored == [0, ""], "the token is kept in memory only: %s %s" % (cookies, stored)


def test_output_with_token(rig):
    """With the token, output OFF goes to the amplifier twice and the page shows OFF; ON likewise."""
    b = rig.browser
    token = b.element("token")
    token.clear()
    token.send_keys(TOKEN)
    for button, frame_hex, shown in (("output-off", OUTPUT_OFF, "OFF"), ("output-on", OUTPUT_ON, "ON")):
        mark = rig.sim.now()
        b.element(button).click()
        wait_until(lambda: rig.sent(frame_hex, mark) == 2, 15, "%s twice on the line" % frame_hex)
        wait_until(lambda: b.value_text("ro-output") == shown, 5, "the page to show the output %s" % shown)
        wait_until(lambda: status_says(b, "confirmed"), 5, "the page to say the setting was confirmed")
        assert rig.sim.state()["output"] == shown.lower()
    assert not b.driver.get_cookies() and b.js("return localStorage.length") == 0


def test_guard_banner(rig):
    """A guard alarm shows its banner (name, value, time); ON is refused while it is latched; once
    cleared, the banner goes."""
    b = rig.browser
    assert not b.element("alarm").is_displayed()
    mark = rig.sim.now()
    rig.sim.control("set input-dbm -40")
    wait_until(lambda: b.element("alarm").is_displayed() and "MIN-INPUT" in b.text("alarm"), 5,
               "the alarm banner with MIN-INPUT")
    banner = b.text("alarm")
    assert "-40.00 dBm" in banner and re.search(r"at \d\d:\d\d:\d\d", banner), banner
    wait_until(lambda: rig.sent(OUTPUT_OFF, mark) == 2, 5, "the guard's output OFF, twice")
    wait_until(lambda: b.value_text("ro-output") == "OFF", 5, "the page to show the output OFF")
    b.element("output-on").click()
    wait_until(lambda: status_says(b, "Alarm latched"), 10, "the page to say 'Alarm latched'")
    assert rig.sent(OUTPUT_ON, mark) == 0
    rig.sim.control("set input-dbm 0")
    wait_until(lambda: b.value_text("ro-input-power") == "0.00", 5, "the input back at 0.00")
    b.element("alarm-clear").click()
    wait_until(lambda: not b.element("alarm").is_displayed(), 10, "the banner to go once the alarms are cleared")
    mark = rig.sim.now()
    b.element("output-on").click()
    wait_until(lambda: rig.sent(OUTPUT_ON, mark) == 2 and b.value_text("ro-output") == "ON", 15, "the output ON again")


def test_stale_on_unplug(rig):
    """Unplugged, the values stop: within 2 s every readout is marked stale (greyed too) and the
    link DOWN; the outage shows in the banner; replugged, the readouts are live again."""
    b = rig.browser
    wait_live(b)
    live_colour = b.js("return getComputedStyle(document.querySelector('#ro-current .value')).color")
    started = time.monotonic()
    rig.sim.control("unplug")
    wait_until(lambda: b.value_text("ro-link") == "DOWN" and all(b.mark_text(r) == "stale" for r in VALUE_READOUTS),
               2.0, "the readouts marked stale and the link DOWN")
    print("figure: readouts marked stale and the link DOWN %.0f ms after the unplug" % ((time.monotonic() - started) * 1000))
    for readout in VALUE_READOUTS:
        assert "STALE" in b.text(readout), b.text(readout)
    assert b.text("ro-link").splitlines()[1] == "DOWN", b.text("ro-link")
    assert b.text("freshness").startswith("Stale"), b.text("freshness")
    stale_colour = b.js("return getComputedStyle(document.querySelector('#ro-current .value')).color")
    assert stale_colour != live_colour, "stale values are greyed as well as marked"
    wait_until(lambda: b.element("alarm").is_displayed() and "LINK" in b.text("alarm"), 5,
               "the banner to tell of the link down for over a second")
    rig.sim.control("replug")
    wait_live(b, 20)


def test_memory_flat(rig):
    """The page open while every reading changes (5 a second, the readouts rewritten and the plot
    redrawn every second) keeps its JavaScript heap, DOM nodes and listeners flat: a leak shows as
    a slope over the samples, each taken after a garbage collection. The nodes counted are all the
    page holds (those it has let go of too) but the plots' own, whose axis labels come and go as
    the span grows. The test command churns for 10 s (--soak-seconds), scripts/endurance.sh page
    for a minute."""
    b = rig.browser
    b.driver.execute_cdp_cmd("Performance.enable", {})
    in_plots = ("let n = 0; for (const id of ['plot-power', 'plot-pump']) {"
                "  const w = document.createTreeWalker(document.getElementById(id), NodeFilter.SHOW_ALL);"
                "  while (w.nextNode()) ++n; } return n;")

    def sample():
        b.driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
        metrics = {m["name"]: m["value"] for m in b.driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
        metrics["Nodes"] -= b.js(in_plots)
        return metrics

    stop = threading.Event()

    def churn():
        step = 0
        while not stop.wait(0.2):
            step += 1
            rig.sim.control("set input-dbm %.2f" % (-5 - step % 100 / 100.0))

    churner = threading.Thread(target=churn)
    churner.start()
    samples = []
    try:
        started = time.monotonic()
        while True:
            samples.append((time.monotonic() - started, sample()))
            if samples[-1][0] >= args.soak_seconds:
                break
            time.sleep(min(1.0, max(0.0, args.soak_seconds - samples[-1][0])))  # the pace of the samples
            wait_until(lambda: b.mark_text("ro-current") == "", 2, "the readouts to stay live throughout")
    finally:
        stop.set()
        churner.join(10)
    first, last = samples[0][1], samples[-1][1]
    slopes = {name: slope([(t, m[name]) for t, m in samples]) for name in FLAT_PAGE}
    print("figure: page over %.0f s of churn: JS heap used %.2f -> %.2f MB (%+.1f kB/s), nodes but the plots' %d -> %d "
          "(%+.2f/s), listeners %d -> %d (%+.2f/s)" % (
              samples[-1][0], first["JSHeapUsedSize"] / 1e6, last["JSHeapUsedSize"] / 1e6,
              slopes["JSHeapUsedSize"] / 1e3, first["Nodes"], last["Nodes"], slopes["Nodes"],
              first["JSEventListeners"], last["JSEventListeners"], slopes["JSEventListeners"]))
    grown = {name: rate for name, rate in slopes.items() if rate > FLAT_PAGE[name]}
    assert not grown, "growing a second: %s" % grown


# ------------------------------------------------------------------------------------------------
# Without a token file: control is open on loopback

def test_open_control(rig):
    """With control open, the controls are enabled with no token, and the token box is not shown."""
    b = rig.browser
    wait_live(b)
    wait_until(lambda: all(b.element(c).is_enabled() for c in CONTROLS), 5, "the controls enabled with no token")
    assert not b.element("token").is_displayed()
    assert "open" in b.text("access"), b.text("access")


def test_phone_width(rig):
    """At 360x740 nothing scrolls sideways, and every readout and control is shown within the width."""
    b = rig.browser
    b.size(*PHONE)
    try:
        inner, height = b.js("return [window.innerWidth, window.innerHeight]")
        assert inner <= PHONE[0], inner
        scroll = b.js("return document.documentElement.scrollWidth")
        assert scroll <= PHONE[0], "the page scrolls sideways: %d px wide" % scroll
        for element_id in CONTROLS + VALUE_READOUTS + ["ro-link", "status", "plot-power", "plot-pump"]:
            element = b.element(element_id)
            b.js("arguments[0].scrollIntoView({block: 'center'})", element)
            box = b.js("const r = arguments[0].getBoundingClientRect(); return [r.left, r.right, r.top, r.bottom]",
                       element)
            assert element.is_displayed() or element_id == "status", element_id
            assert box[0] >= 0 and box[1] <= inner and box[2] >= 0 and box[3] <= height, (element_id, box)
        columns = b.js("return new Set(Array.from(document.querySelectorAll('.readout'))"
                       ".map((e) => Math.round(e.getBoundingClientRect().left))).size")
        assert columns <= 2, "the readouts stack in at most two columns: %d" % columns
    except BaseException:
        b.driver.save_screenshot(os.path.join(rig.work, "phone.png"))
        raise


def test_settings_on_phone(rig):
    """At phone width, a current typed and sent with Enter reaches the line twice and shows as the
    target; a power out of range is refused with the server's reason and sends nothing."""
    b = rig.browser
    try:
        box = b.element("current-input")
        b.js("arguments[0].scrollIntoView({block: 'center'})", box)
        mark = rig.sim.now()
        box.clear()
        box.send_keys("1234" + Keys.ENTER)
        setting = word_frame(0x0D, 1234)
        wait_until(lambda: rig.sent(setting, mark) == 2, 15, "%s twice on the line" % setting)
        wait_until(lambda: b.value_text("ro-target-current") == "1234", 5, "the target current to read 1234")
        wait_until(lambda: status_says(b, "1234 mA: confirmed"), 5, "the page to say 1234 mA was confirmed")
        assert rig.sim.state()["target_current_ma"] == 1234

        mark = rig.sim.now()
        power = b.element("power-input")
        power.clear()
        power.send_keys("600")
        b.element("power-set").click()
        wait_until(lambda: status_says(b, "refused:"), 10, "the page to say the power was refused")
        reason = b.text("status").split("refused:", 1)[1].strip()
        assert reason and not reason.startswith("HTTP"), "the server's reason is shown: %r" % b.text("status")
        assert not [f for f in rig.sim.received(since=mark) if f.hex().startswith("EF EF 04 04")], "a power was sent"
        assert rig.sim.state()["target_power_dbm"] != 600
    finally:
        b.size(*DESKTOP)


def test_server_gone(rig):
    """With ampd gone, the page says it has no connection, the link reads DOWN and every readout is
    marked stale; the controls stay usable, and a setting says ampd cannot be reached."""
    b = rig.browser
    wait_live(b)
    rig.server.stop()
    wait_until(lambda: "No connection to ampd" in b.text("stream"), 10, "the page to say ampd is not connected")
    wait_until(lambda: b.value_text("ro-link") == "DOWN" and all(b.mark_text(r) == "stale" for r in VALUE_READOUTS),
               2, "the link DOWN and the readouts stale")
    b.element("output-off").click()
    wait_until(lambda: status_says(b, "ampd cannot be reached"), 10, "the page to say ampd cannot be reached")


# ------------------------------------------------------------------------------------------------

def test_no_console_errors(rig):
    """The page ran under ampd's Content-Security-Policy without a violation or a script error."""
    with urllib.request.urlopen(rig.url, timeout=10) as answer:
        policy = answer.headers.get("Content-Security-Policy", "")
    assert "default-src 'self'" in policy, "ampd sends the policy: %r" % policy
    rig.browser.collect_console()
    bad = [e for e in rig.browser.console
           if "Content Security Policy" in e["message"] or e.get("source") == "javascript"
           or (e["level"] == "SEVERE" and "Uncaught" in e["message"])]
    assert not bad, bad
    rig.browser.console = []


RIGS = [
    ("token", {"token": True, "guard": "min-input=-30"},
     [test_readouts_follow, test_plot, test_controls_need_token, test_output_with_token, test_guard_banner,
      test_stale_on_unplug, test_memory_flat, test_no_console_errors]),
    # ampd goes last: the policy's check asks it for the page.
    ("open", {}, [test_open_control, test_phone_width, test_settings_on_phone, test_no_console_errors,
                  test_server_gone]),
]


def main():
    global args
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ampd", required=True)
    parser.add_argument("--ampsim", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--soak-seconds", type=float, default=10, help="how long the memory test churns")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parser.add_argument("--only", help="run only the tests whose names contain this")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    results = Results()
    browser = Browser(args.work)
    try:
        for name, setup, tests in RIGS:
            tests = [t for t in tests if not args.only or args.only in t.__name__ or t is test_no_console_errors]
            if tests == [test_no_console_errors]:
                continue
            rig = None
            try:
                rig = Rig(name, browser, **setup)
                browser.open(rig.url)
            except Exception:  # noqa: BLE001 - a rig that does not start fails its tests
                traceback.print_exc()
                for test in tests:
                    results.fail("%s/%s: the rig did not start" % (name, test.__name__))
                if rig:
                    rig.stop()
                continue
            try:
                for test in tests:
                    def screenshot():
                        try:
                            browser.driver.save_screenshot(os.path.join(rig.work, test.__name__ + ".png"))
                        except WebDriverException:
                            pass
                    results.run("%s/%s" % (name, test.__name__), lambda: test(rig), screenshot)
                    browser.collect_console()
            finally:
                rig.stop()
    finally:
        browser.stop()
    return results.close()


if __name__ == "__main__":
    sys.exit(main())
