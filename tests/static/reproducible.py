#!/usr/bin/python3
"""Two release builds of one source give the same programs and the same ZIP, byte for byte.

    reproducible.py <cmake> <cpack> <source> <work folder>

The first build runs on <source> itself and takes its time stamp from git. The
second runs later on a copy of the source without its history, in other and
deeper folders, under another umask and time zone, and gets the last commit's
time through SOURCE_DATE_EPOCH. Both programs must carry that time stamp, the
ZIP entries too, and no program may name a source or build folder.
"""

import os
import shutil
import subprocess
import sys
import time
import zipfile

import pefile

sys.dont_write_bytecode = True  # keep __pycache__ out of the source tree
from fresh_build import PROGRAMS, Build, Report, sha256  # noqa: E402

NO_HISTORY_EPOCH = 315532800  # what a source tree without git history is stamped with
ELSEWHERE = {"TZ": "XYZ-14"}  # fourteen hours east of UTC
OTHER_UMASK = 0o027


def copy_source(source, target):
    """The tree as a source archive would hold it: no history, no build folders."""
    def skip(folder, names):
        # build/ also holds Wine prefixes and scratch trees, which no archive carries.
        return [n for n in names
                if n == ".git" or (n == "build" and os.path.samefile(folder, source))
                or os.path.isfile(os.path.join(folder, n, "CMakeCache.txt"))]
    shutil.copytree(source, target, ignore=skip, symlinks=True)


def commit_time(source):
    try:
        done = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=source, capture_output=True, text=True)
    except OSError:
        return None
    return int(done.stdout) if done.returncode == 0 else None


def first_difference(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        x, y = f.read(), g.read()
    return next((i for i, (p, q) in enumerate(zip(x, y)) if p != q), min(len(x), len(y)))


def build_all(report, label, build, epoch=None, env=None, umask=None):
    """Configure (with SOURCE_DATE_EPOCH=epoch when given), build and pack."""
    stamp = {"SOURCE_DATE_EPOCH": str(epoch)} if epoch is not None else {}
    return (report.step(f"{label}: configure", build.configure(env={**(env or {}), **stamp}, umask=umask))
            and report.step(f"{label}: build", build.build(env=env, umask=umask))
            and report.step(f"{label}: cpack -G ZIP", build.pack(env=env, umask=umask)))


def main(argv):
    if len(argv) != 5:
        print(f"usage: {argv[0]} <cmake> <cpack> <source> <work folder>", file=sys.stderr)
        return 2
    cmake, cpack, source, work = argv[1:]
    source = os.path.realpath(source)
    work = os.path.realpath(work)
    shutil.rmtree(work, ignore_errors=True)
    report = Report()

    committed = commit_time(source)
    epoch = committed if committed is not None else NO_HISTORY_EPOCH
    print(f"time stamp: {epoch}, {'the last commit' if committed is not None else 'no history'}")
    first = Build(cmake, cpack, source, os.path.join(work, "first"))
    if not build_all(report, "first build", first):
        return 1

    copy = os.path.join(work, "copy", "of", "the", "source")
    copy_source(source, copy)
    second = Build(cmake, cpack, copy, os.path.join(work, "second", "in", "a", "deeper", "folder"))
    if not build_all(report, "second build", second, epoch, ELSEWHERE, OTHER_UMASK):
        return 1

    pairs = [(name, first.program(name), second.program(name)) for name in PROGRAMS]
    pairs.append((os.path.basename(first.zip), first.zip, second.zip))
    for what, a, b in pairs:
        ha, hb = sha256(a), sha256(b)
        report.check(ha == hb, f"{what}: sha256 {ha} in both builds" if ha == hb else
                     f"{what}: sha256 {ha} vs {hb}, first difference at byte {first_difference(a, b)}")

    for label, build in ("first", first), ("second", second):
        folders = [build.source, build.folder]
        for name in PROGRAMS:
            path = build.program(name)
            stamp = pefile.PE(path, fast_load=True).FILE_HEADER.TimeDateStamp
            report.check(stamp == epoch, f"{label} build's {name}: PE time stamp {stamp}, want {epoch}")
            with open(path, "rb") as f:
                data = f.read()
            named = [p for p in folders if p.encode() in data or p.encode("utf-16-le") in data]
            report.check(not named, f"{label} build's {name} names no build or source folder"
                         + (f" (found {named})" if named else ""))

    # DOS times count in steps of two seconds.
    dos_time = time.gmtime(max(epoch, NO_HISTORY_EPOCH) // 2 * 2)[:6]
    with zipfile.ZipFile(first.zip) as z:
        times = {info.filename: info.date_time for info in z.infolist()}
    wrong = {name: t for name, t in times.items() if t != dos_time}
    report.check(times and not wrong, f"ZIP entries {sorted(times)} all dated {dos_time} UTC"
                 + (f" (not: {wrong})" if wrong else ""))
    return report.exit_code()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
