"""Release builds of this project in folders of a test's own.

Each Build configures with the shipped 32-bit preset, builds and packs the
ZIP as a release does; Report prints `ok ...` / `FAIL ...` lines like the
other static checks.
"""

import glob
import hashlib
import os
import shutil
import subprocess

PRESET = "deliverable-i686"
PROGRAMS = ["install.exe", "quelbrin.exe"]


class Build:
    def __init__(self, cmake, cpack, source, folder):
        self.cmake, self.cpack = cmake, cpack
        self.source, self.folder = source, folder
        shutil.rmtree(folder, ignore_errors=True)

    def _run(self, cmd, env=None, umask=None, cwd=None):
        base = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        return subprocess.run(cmd, cwd=cwd, env=dict(base, **(env or {})), capture_output=True, text=True,
                              preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)

    def configure(self, *options, env=None, umask=None):
        """SOURCE_DATE_EPOCH reaches the build only through env."""
        # Only what ships: the tests and their helpers are not part of a release.
        return self._run([self.cmake, "-S", self.source, "--preset", PRESET, "-B", self.folder,
                          "-DLARKSPAN_TESTS=OFF", *options],
                         env=env, umask=umask)

    def build(self, env=None, umask=None):
        return self._run([self.cmake, "--build", self.folder, "-j2"], env=env, umask=umask)

    def pack(self, env=None, umask=None):
        """Runs `cpack -G ZIP`; self.zip is then the one ZIP it made."""
        out = os.path.join(self.folder, "package")
        shutil.rmtree(out, ignore_errors=True)
        done = self._run([self.cpack, "-G", "ZIP", "-B", out], env=env, umask=umask, cwd=self.folder)
        zips = glob.glob(os.path.join(out, "*.zip"))
        if done.returncode == 0 and len(zips) != 1:
            done.returncode, done.stderr = 1, f"expected one ZIP, found {zips}"
        self.zip = zips[0] if done.returncode == 0 else None
        return done

    def program(self, name):
        return os.path.join(self.folder, "bin", name)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def output(done):
    """A failed step's output, for a FAIL line."""
    return (done.stdout + done.stderr).strip()[-3000:]


class Report:
    def __init__(self):
        self.failed = False

    def check(self, ok, detail):
        print(("ok " if ok else "FAIL ") + detail, flush=True)
        self.failed |= not ok
        return ok

    def step(self, what, done):
        """A configure, build or pack step that must succeed; True if it did."""
        ok = done.returncode == 0
        return self.check(ok, what + ("" if ok else ":\n" + output(done)))

    def exit_code(self):
        return 1 if self.failed else 0
