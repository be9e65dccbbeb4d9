#!/usr/bin/env python3
"""The Debian package of ampd, made by scripts/package-deb.sh from the programs of this build (none
is built again), as Debian's own tools see it: lintian, dpkg-deb, the programs it holds, the unit
through systemd-analyze (verify, and security's exposure), and the logrotate snippet.

    package_test.py --repo DIR --build-dir DIR --version X.Y.Z --work DIR"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import time

MAX_EXPOSURE = 2.5
INSTANCE = "ampd@ttyUSB0.service"

# Every file of the package, with its mode as dpkg-deb -c shows it.
FILES = {
    "usr/bin/ampd": "-rwxr-xr-x",
    "usr/bin/ampctl": "-rwxr-xr-x",
    "usr/share/man/man8/ampd.8.gz": "-rw-r--r--",
    "usr/share/man/man1/ampctl.1.gz": "-rw-r--r--",
    "usr/share/doc/ampd/copyright": "-rw-r--r--",
    "usr/share/doc/ampd/changelog.gz": "-rw-r--r--",
    "usr/share/doc/ampd/examples/70-ampd.rules": "-rw-r--r--",
    "lib/systemd/system/ampd@.service": "-rw-r--r--",
    "etc/ampd/ttyUSB0.conf": "-rw-r--r--",
    "etc/logrotate.d/ampd": "-rw-r--r--",
}
CONFFILES = ["/etc/ampd/ttyUSB0.conf", "/etc/logrotate.d/ampd"]

args = None
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what)


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def make_package():
    made = run([os.path.join(args.repo, "scripts", "package-deb.sh"), "--build-dir", args.build_dir,
                "--out", args.work])
    deb = os.path.join(args.work, "ampd_%s_amd64.deb" % args.version)
    if made.returncode != 0 or not os.path.isfile(deb):
        raise AssertionError("package-deb.sh failed (%d): %s" % (made.returncode, made.stderr))
    print(made.stdout.strip())
    return deb


def start_lintian(deb):
    """lintian takes the longest: it runs while the other checks do."""
    return subprocess.Popen(["lintian", "--info", "--display-info", deb], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def test_lintian(lintian):
    """No error and no warning; what it says for information is shown."""
    stdout, stderr = lintian.communicate(timeout=120)
    result = subprocess.CompletedProcess(lintian.args, lintian.returncode, stdout, stderr)
    tags = [line for line in result.stdout.splitlines() if re.match(r"^[EWIXPO]: ", line)]
    for tag in tags:
        print("lintian: " + tag)
    bad = [tag for tag in tags if tag.startswith(("E:", "W:"))]
    check(not bad, "lintian: errors or warnings: %s" % bad)
    check(result.returncode == 0, "lintian exited %d: %s" % (result.returncode, result.stderr.strip()))


def test_contents(deb):
    """Every file listed, nothing else, each with its mode, every entry root's."""
    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    files = {}
    for line in listing:
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        check(owner == "root/root", "%s is owned by %s" % (path, owner))
        if not mode.startswith("d"):
            files[path.lstrip("./")] = mode
    check(files == FILES, "contents: %s, not %s" % (sorted(files.items()), sorted(FILES.items())))

    fields = {name: run(["dpkg-deb", "-f", deb, name]).stdout.strip()
              for name in ("Package", "Version", "Architecture", "Depends")}
    check(fields["Package"] == "ampd" and fields["Version"] == args.version and fields["Architecture"] == "amd64",
          "control fields: %s" % fields)
    check(re.search(r"\blibc6 \(>= [0-9.]+\)", fields["Depends"]) and "libstdc++6" in fields["Depends"],
          "Depends does not name the C and C++ libraries: %r" % fields["Depends"])
    conffiles = run(["dpkg-deb", "--info", deb, "conffiles"]).stdout.split()
    check(conffiles == CONFFILES, "conffiles: %s" % conffiles)


def extract(deb):
    root = os.path.join(args.work, "root")
    shutil.rmtree(root, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    return root


def test_programs(root):
    """The programs in the package run, say this version, and are stripped."""
    for program in ("ampd", "ampctl"):
        path = os.path.join(root, "usr", "bin", program)
        result = run([path, "--version"], timeout=10)
        check(result.returncode == 0 and result.stdout.strip() == "%s %s" % (program, args.version),
              "%s --version: %d %r" % (program, result.returncode, result.stdout))
        sections = run(["readelf", "-S", "-W", path]).stdout
        check(".symtab" not in sections and ".debug_" not in sections, "%s is not stripped" % program)


def test_man_pages(root):
    """Both pages render without a warning from groff, and their NAME line is what apropos reads."""
    for page, name in (("man8/ampd.8.gz", "ampd"), ("man1/ampctl.1.gz", "ampctl")):
        path = os.path.join(root, "usr", "share", "man", page)
        with gzip.open(path, "rt") as text:
            check(text.read().startswith(".TH %s " % name.upper()), "%s has no .TH line" % page)
        rendered = run(["man", "--warnings", "-l", "-Tutf8", path], env=dict(os.environ, MANWIDTH="80"))
        check(rendered.returncode == 0 and not rendered.stderr.strip(), "man -l %s: %s" % (page, rendered.stderr))
        whatis = run(["lexgrog", path]).stdout
        check(re.search(r'"%s - \S' % name, whatis), "lexgrog %s: %r" % (page, whatis))


def systemd_root(root):
    """The extracted package beside this machine's own units and kill, as systemd-analyze --root
    wants them: the unit's dependencies and commands are looked for inside the root."""
    units = os.path.join(root, "usr", "lib", "systemd", "system")
    shutil.copytree("/usr/lib/systemd/system", units, symlinks=True, dirs_exist_ok=True)
    os.makedirs(os.path.join(root, "bin"), exist_ok=True)
    shutil.copy2("/bin/kill", os.path.join(root, "bin", "kill"))


def test_unit(root):
    """An instance of the installed template: verify says nothing, and the exposure is low."""
    env = dict(os.environ, MANPATH=os.path.join(root, "usr", "share", "man"))
    verify = run(["systemd-analyze", "verify", "--root=" + root, INSTANCE], env=env)
    said = (verify.stdout + verify.stderr).strip()
    check(verify.returncode == 0 and not said, "systemd-analyze verify %s: %d %s" % (INSTANCE, verify.returncode, said))

    security = run(["systemd-analyze", "security", "--offline=yes", "--root=" + root, INSTANCE])
    found = re.search(r"Overall exposure level for %s: ([0-9.]+)" % re.escape(INSTANCE), security.stdout)
    check(found, "systemd-analyze security gave no exposure: %s %s" % (security.stdout[-300:], security.stderr))
    if found:
        exposure = float(found.group(1))
        print("figure: systemd-analyze security --offline=yes %s: exposure %.1f (at most %.1f)"
              % (INSTANCE, exposure, MAX_EXPOSURE))
        check(exposure <= MAX_EXPOSURE, "exposure %.1f is above %.1f" % (exposure, MAX_EXPOSURE))
        for line in security.stdout.splitlines():
            if line.startswith("\u2717"):
                print("security: " + " ".join(line.split()))


def test_conffile(root):
    """The instance's conffile only suggests: every option commented, so no file means the same."""
    with open(os.path.join(root, "etc", "ampd", "ttyUSB0.conf")) as conf:
        lines = [line.strip() for line in conf if line.strip()]
    check(all(line.startswith("#") for line in lines), "ttyUSB0.conf sets something: %s" %
          [line for line in lines if not line.startswith("#")])
    check(any(line.startswith("#AMPD_OPTIONS=") for line in lines), "ttyUSB0.conf shows no AMPD_OPTIONS")


def test_logrotate(root):
    """logrotate reads the snippet without an error; on a copy pointed at folders of the test's
    own, it moves each instance's file away and makes no new one (ampd makes it on its reload),
    and reloads once for all of them."""
    snippet = os.path.join(root, "etc", "logrotate.d", "ampd")
    debug = run(["logrotate", "-d", "-s", os.path.join(args.work, "logrotate.debug-state"), snippet])
    said = debug.stdout + debug.stderr
    check(debug.returncode == 0 and "error" not in said.lower(), "logrotate -d: %d %s" % (debug.returncode, said))
    for pattern in ("/var/log/ampd/*/audit.log", "/var/log/ampd/*/readings.csv"):
        check("rotating pattern: " + pattern in said, "logrotate -d does not rotate %s" % pattern)

    logs = os.path.join(args.work, "log")
    shutil.rmtree(logs, ignore_errors=True)
    for instance in ("ttyUSB0", "amp-A1B2C3"):
        os.makedirs(os.path.join(logs, instance))
        for name in ("audit.log", "readings.csv"):
            with open(os.path.join(logs, instance, name), "w") as f:
                f.write("a line\n")
    reloads = os.path.join(args.work, "reloads")
    with open(snippet) as f:
        text = f.read().replace("/var/log/ampd", logs)
    text = re.sub(r"(postrotate\n).*?(\n\s*endscript)", r"\1\t\techo reload >> %s\2" % reloads, text, flags=re.S)
    copy = os.path.join(args.work, "logrotate.conf")
    with open(copy, "w") as f:
        f.write(text)
    if os.path.exists(reloads):
        os.unlink(reloads)
    forced = run(["logrotate", "-f", "-s", os.path.join(args.work, "logrotate.state"), copy])
    check(forced.returncode == 0, "logrotate -f: %s" % forced.stderr)
    for instance in ("ttyUSB0", "amp-A1B2C3"):
        for name in ("audit.log", "readings.csv"):
            path = os.path.join(logs, instance, name)
            check(not os.path.exists(path) and os.path.exists(path + ".1"),
                  "%s/%s: %s" % (instance, name, sorted(os.listdir(os.path.join(logs, instance)))))
    with open(reloads) if os.path.exists(reloads) else open(os.devnull) as f:
        count = len(f.read().split())
    check(count == 2, "postrotate ran %d times, not once per stanza" % count)


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--repo", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)

    start = time.monotonic()
    deb = make_package()
    lintian = start_lintian(deb)
    test_contents(deb)
    root = extract(deb)
    test_programs(root)
    test_man_pages(root)
    systemd_root(root)
    test_unit(root)
    test_conffile(root)
    test_logrotate(root)
    test_lintian(lintian)
    print("package test: %.1f s" % (time.monotonic() - start))
    if failures:
        print("package test: %d check(s) failed" % len(failures))
        return 1
    print("package test: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
