#!/usr/bin/python3
"""Check an installed tree holds the two programs, where they belong, and nothing else.

    check_layout.py <install-root>

The setup program sits at the top and the uninstaller in Uninstall/ below it;
the add-in workbook must not be among the files. Both programs must be the
32-bit build. Prints `ok ...` / `FAIL ...` lines; exits 1 on failure.
"""

import os
import sys

import pefile

sys.dont_write_bytecode = True  # keep __pycache__ out of the source tree
from check_pe import check_pe32_i386, run  # noqa: E402

PROGRAMS = ["install.exe", "Uninstall/quelbrin.exe"]
NEVER_SHIPPED = "Larkspan.xla"


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root).replace(os.sep, "/")
                  for d, _, files in os.walk(root) for f in files)


def check_exact_files(root):
    found = tree(root)
    return found == sorted(PROGRAMS), f"files are exactly {PROGRAMS} (found {found})"


def check_no_workbook(root):
    found = [f for f in tree(root) if os.path.basename(f).lower() == NEVER_SHIPPED.lower()]
    return not found, f"no {NEVER_SHIPPED} (found {found})"


def program_check(rel):
    def check(root):
        path = os.path.join(root, rel)
        if not os.path.isfile(path):
            return False, f"{rel}: missing"
        ok, detail = check_pe32_i386(pefile.PE(path, fast_load=True))
        return ok, f"{rel}: {detail}"
    check.__name__ = f"check {rel}"
    return check


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print(f"usage: {argv[0]} <install-root>", file=sys.stderr)
        return 2
    checks = [check_exact_files, check_no_workbook] + [program_check(p) for p in PROGRAMS]
    return 0 if run(checks, argv[1]) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
