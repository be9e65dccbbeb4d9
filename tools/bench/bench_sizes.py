"""The bench's sizes of the Windows programs, as built and stripped, beside the empty dialog's."""

import os
import subprocess

from bench_table import row


def size_figures(args):
    stripped_dir = os.path.join(args.work, "stripped")
    arches = [("win64", "x86_64-w64-mingw32-strip")]
    if not args.no_win32:
        arches.append(("win32", "i686-w64-mingw32-strip"))
    for arch, strip in arches:
        build = os.path.join(args.root, "build", arch)
        exes = {"AmpPanel.exe": os.path.join(build, "app/AmpPanel.exe"),
                "ampctl.exe": os.path.join(build, "ampctl/ampctl.exe"),
                "ampd.exe": os.path.join(build, "ampd/ampd.exe"),
                "emptydlg.exe": os.path.join(build, "tools/emptydlg.exe")}
        sizes = {}
        for name, path in exes.items():
            out = os.path.join(stripped_dir, arch, name)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            subprocess.run([strip, "-o", out, path], check=True, timeout=60)
            sizes[name] = (os.path.getsize(path), os.path.getsize(out))
        for name in ("AmpPanel.exe", "ampctl.exe", "ampd.exe"):
            for stripped in (False, True):
                row("size %s %s%s" % (name, arch, " stripped" if stripped else ""),
                    "%.0f KiB" % (sizes[name][stripped] / 1024.0),
                    "%.0f KiB empty dialog" % (sizes["emptydlg.exe"][stripped] / 1024.0),
                    "static MinGW-w64 build (RelWithDebInfo)%s" % (
                        "; copy stripped with %s" % strip if stripped else ""))
    if args.no_win32:
        row("sizes win32", "not built", "", "the win32 build failed; see build/bench/build.log")

