"""The bench's figures of the page in headless Chromium, served by ampd."""

import os
import socket
import statistics
import threading
import time

from amptest import ScpiClient, chromium, wait_until
from bench_ampd import ampd_window
from bench_run import BYTE_S, STATUS_REPLY_BYTES, clock_offset, start_ampd
from bench_table import row, rows, spread


def page_figures(args, started, counts):
    """The page: its load time and size, the time from a reading's reply on the wire to the page
    showing it (beside the panel's, when measured in this run), and ampd's CPU with event streams."""
    work = os.path.join(args.work, "page")
    link = os.path.join(work, "amp")
    sim = started.simulator(args.root, work, link, ["--output", "on"])
    ampd = start_ampd(args.root, started, link, work, http=["127.0.0.1:0"])
    browser = None
    try:
        url = "http://127.0.0.1:%d/" % ampd.http_port
        client = ScpiClient(ampd.port)
        wait_until(lambda: "E+37" not in client.ask("MEAS?"), 15, "ampd's first reading")
        client.close()
        browser = chromium(os.path.join(work, "chromium-profile"), (1280, 1000))
        browser.execute_cdp_cmd("Network.enable", {})
        browser.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
        loads, sizes = [], []
        for _ in range(counts["loads"]):
            browser.get(url)
            timing = wait_until(lambda: browser.execute_script(
                "const n = performance.getEntriesByType('navigation')[0];"
                "if (!n || !n.loadEventEnd) return null;"
                "const r = performance.getEntriesByType('resource').filter(e => !e.name.includes('/api/'));"
                "return [n.loadEventEnd, n.transferSize + r.reduce((s, e) => s + e.transferSize, 0),"
                "        n.decodedBodySize + r.reduce((s, e) => s + e.decodedBodySize, 0)];"), 15, "the page to load")
            loads.append(timing[0])
            sizes.append((timing[1], timing[2]))
        row("page load (navigation to load event)", spread(loads), "", "headless Chromium, cache off, loopback; "
            "min/median/max of %d loads" % len(loads))
        row("page size over the wire", "%.0f KiB" % (statistics.median(s[0] for s in sizes) / 1024.0),
            "%.0f KiB decoded" % (statistics.median(s[1] for s in sizes) / 1024.0),
            "the page, its script and style, dygraphs gzipped; the API's answers not counted")

        # From the last byte of the status reply that carries a new input power to the page showing it.
        browser.execute_script(
            "window.__seen = [];"
            "const v = document.querySelector('#ro-input-power .value');"
            "new MutationObserver(() => window.__seen.push([v.textContent, Date.now()]))"
            ".observe(v, {childList: true, characterData: true, subtree: true});")
        offset, uncertainty = clock_offset(sim)
        epoch = time.time() - time.monotonic()
        latencies = []
        for i in range(counts["latency_n"]):
            dbm = -5.0 - 0.01 * (i % 50) - 0.5 * (i % 2)
            text = "%.2f" % dbm
            raw = int(round(dbm * 100)) + 7000
            since = time.monotonic() - offset - 0.05
            sim.control("set input-dbm %s" % text)
            shown = wait_until(lambda: [t for v, t in browser.execute_script("return window.__seen;") if v == text],
                               5, "the page to show %s dBm" % text)[0] / 1000.0
            replies = [f for f in sim.frames("TX") if f.t >= since and len(f.data) == STATUS_REPLY_BYTES
                       and f.data[3] == 0x00 and f.data[8] * 256 + f.data[9] == raw]
            if not replies:
                raise AssertionError("no status reply carried %s dBm" % text)
            last_byte = offset + replies[0].t + STATUS_REPLY_BYTES * BYTE_S + epoch
            latencies.append((shown - last_byte) * 1000.0)
            time.sleep(0.05 + 0.037 * (i % 5))  # spread the samples over the poll's phase
        panel = [r[1] for r in rows if r[0] == "reply-to-display latency, median"]
        row("reply to the page's readout, median", "%.1f ms" % statistics.median(latencies),
            ("panel %s" % panel[0]) if panel else "panel not measured in this run",
            "n=%d, from the reply's first-byte stamp + 17 byte times to the readout's change (Date.now in the page); "
            "clocks matched +-%.2f ms; worst %.1f ms" % (len(latencies), uncertainty * 1000.0, max(latencies)))
        browser.quit()
        browser = None

        # ampd's CPU with event streams open, beside none.
        seconds = counts["window_s"]
        none = ampd_window(ampd, sim, seconds)[1]
        streams = []
        for _ in range(50):
            s = socket.create_connection(("127.0.0.1", ampd.http_port), timeout=10)
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % ampd.http_port)
            streams.append(s)
        stop = threading.Event()

        def drain(sock):
            sock.settimeout(1.0)
            while not stop.is_set():
                try:
                    if not sock.recv(65536):
                        return
                except socket.timeout:
                    pass
        readers = [threading.Thread(target=drain, args=(s,)) for s in streams]
        for t in readers:
            t.start()
        _, cpu, rss = ampd_window(ampd, sim, seconds)
        stop.set()
        for t in readers:
            t.join(5)
        for s in streams:
            s.close()
        row("ampd CPU, 50 event streams", "%.1f%%" % cpu, "%.1f%% none" % none,
            "utime+stime over %.0f s; each stream gets an event per poll (5 a second); VmRSS %d KiB" % (seconds, rss))
    finally:
        if browser:
            browser.quit()
        ampd.stop()
        sim.stop()
