#!/usr/bin/python3
"""A picture of ampd's web page: the simulator (output on), ampd serving HTTP on it, and the page in
headless Chromium at a desktop size. Once the page is live it sets the target current to 2500 mA
through its own controls, so the trend shows the pump ramping, and the picture is taken after about
ten seconds of readings.

    scripts/page-screenshot.py [--out PNG] [--ampd EXE] [--ampsim SIM]

OUT defaults to docs/page.png. Without --ampd and --ampsim it builds both in the native preset's
build folder if they are missing. Every wait is "until a condition holds or a deadline passes"."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "python"))
from amptest import Ampd, Simulator, chromium, wait_until  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402

WIDTH = 1280


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join(ROOT, "docs", "page.png"))
    parser.add_argument("--ampd")
    parser.add_argument("--ampsim")
    args = parser.parse_args()
    ampd = args.ampd or os.path.join(ROOT, "build", "native", "ampd", "ampd")
    ampsim = args.ampsim or os.path.join(ROOT, "build", "native", "linux", "ampsim")
    if not (args.ampd and args.ampsim) and not (os.path.exists(ampd) and os.path.exists(ampsim)):
        subprocess.run(["cmake", "--preset", "native"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "native", "--target", "ampd", "ampsim"], cwd=ROOT, check=True)

    work = tempfile.mkdtemp(prefix="page-screenshot-")
    sim = server = driver = None
    try:
        link = os.path.join(work, "amp")
        sim = Simulator(ampsim, work, link, ["--output", "on"])
        server = Ampd(ampd, link, work, http=("127.0.0.1:0",))
        url = "http://%s:%d/" % server.http[0]
        driver = chromium(os.path.join(work, "chromium"), (WIDTH, 1000), flags=("--hide-scrollbars",))
        viewport = lambda height: driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": WIDTH, "height": height, "deviceScaleFactor": 1, "mobile": False})
        viewport(900)
        driver.get(url)
        js = driver.execute_script
        value = lambda readout: js("return document.querySelector('#%s .value').textContent" % readout)
        rows = lambda: js("return window.ampPlot ? window.ampPlot.power.numRows() : 0")
        wait_until(lambda: value("ro-link") == "UP" and value("ro-current") != "–", 15, "live readouts")
        wait_until(lambda: rows() >= 3, 10, "the first points of the trend")

        box = driver.find_element(By.ID, "current-input")
        box.clear()
        box.send_keys("2500")
        driver.find_element(By.ID, "current-set").click()
        wait_until(lambda: "confirmed" in driver.find_element(By.ID, "status").text, 10, "the setting confirmed")
        wait_until(lambda: value("ro-current") == "2500" and rows() >= 10, 20, "ten seconds of readings")

        viewport(js("return document.documentElement.scrollHeight"))
        wait_until(lambda: js("return window.innerWidth") == WIDTH, 5, "the page laid out for the picture")
        # The graphs follow the new size on the next redraw; the page's own redraw comes every second.
        drawn = rows()
        wait_until(lambda: rows() > drawn, 5, "a redraw at the picture's size")
        os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
        driver.save_screenshot(args.out)
        print("page-screenshot: wrote %s" % args.out)
    finally:
        if driver:
            driver.quit()
        if server:
            server.stop()
        if sim:
            sim.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
