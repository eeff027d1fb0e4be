#!/usr/bin/python3
"""Signing on request: signed programs as built and as packed, and no unsigned one left on failure.

    signing.py <cmake> <cpack> <osslsigncode> <openssl> <source> <work folder>

A throwaway self-signed code-signing certificate signs a fresh release build;
osslsigncode must accept both programs in bin/ and in the ZIP, and they must
still pass check_pe.py. The same build then asks a local RFC 3161 time-stamp
authority for time stamps. Each way signing can fail must stop the configure
or the build with its own message, leave no unsigned program and fail again
when the build is run again.
"""

import http.server
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import zipfile

sys.dont_write_bytecode = True  # keep __pycache__ out of the source tree
from fresh_build import PROGRAMS, Build, Report, output  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PACKED = {"install.exe": "install.exe", "quelbrin.exe": "Uninstall/quelbrin.exe"}
STAMPED = "Timestamp Server Signature verification: ok"

# (what goes wrong, options, the step that must fail, its message with lines joined)
FAILURES = [
    ("wrong password", ["-DLARKSPAN_SIGN_PFX={pfx}", "-DLARKSPAN_SIGN_PASSWORD_FILE={wrong}"], "build",
     r"Cannot sign (install|quelbrin)\.exe: the password in \S*wrong\.txt does not open"),
    ("missing pfx", ["-DLARKSPAN_SIGN_PFX={missing}", "-DLARKSPAN_SIGN_PASSWORD_FILE={password}"], "configure",
     r"Cannot sign: LARKSPAN_SIGN_PFX names no file: \S*missing\.pfx"),
    ("missing password file", ["-DLARKSPAN_SIGN_PFX={pfx}", "-DLARKSPAN_SIGN_PASSWORD_FILE={missing}"], "configure",
     r"Cannot sign: LARKSPAN_SIGN_PASSWORD_FILE names no file"),
    ("time-stamp server down", ["-DLARKSPAN_SIGN_PFX={pfx}", "-DLARKSPAN_SIGN_PASSWORD_FILE={password}",
                                "-DLARKSPAN_SIGN_TIMESTAMP_URL={down}"], "build",
     r"Cannot sign (install|quelbrin)\.exe: the time-stamp server \S+ gave no time stamp"),
]


def make_certificate(openssl, folder, name, usage):
    key, cert = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", key, "-out", cert, "-subj", f"/CN=Larkspan test {name}",
                    "-addext", "keyUsage=critical,digitalSignature", "-addext", f"extendedKeyUsage={usage}"],
                   check=True, capture_output=True)
    return key, cert


class TimeStampAuthority:
    """RFC 3161 over HTTP on 127.0.0.1; `openssl ts -reply` answers each query."""

    def __init__(self, openssl, folder):
        key, self.cert = make_certificate(openssl, folder, "tsa", "critical,timeStamping")
        config = os.path.join(folder, "tsa.cnf")
        with open(config, "w") as f:
            f.write(f"[tsa]\ndefault_tsa = tsa1\n[tsa1]\nserial = {folder}/tsa.serial\n"
                    f"signer_cert = {self.cert}\nsigner_key = {key}\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory(dir=folder) as scratch:
                    asked, answer = os.path.join(scratch, "query"), os.path.join(scratch, "reply")
                    with open(asked, "wb") as f:
                        f.write(query)
                    done = subprocess.run([openssl, "ts", "-reply", "-config", config,
                                           "-queryfile", asked, "-out", answer], capture_output=True)
                    reply = open(answer, "rb").read() if done.returncode == 0 else b""
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_port}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/"


def verify(osslsigncode, path, ca, tsa=None):
    extra = ["-TSA-CAfile", tsa] if tsa else []
    return subprocess.run([osslsigncode, "verify", "-CAfile", ca, *extra, "-in", path],
                          capture_output=True, text=True)


def check_signed(report, osslsigncode, label, path, ca, tsa=None):
    done = verify(osslsigncode, path, ca, tsa)
    ok = done.returncode == 0 and (tsa is None or STAMPED in done.stdout)
    report.check(ok, f"{label}: osslsigncode verify accepts it{' with its time stamp' if tsa else ''}"
                 + ("" if ok else ":\n" + output(done)))


def main(argv):
    if len(argv) != 7:
        print(f"usage: {argv[0]} <cmake> <cpack> <osslsigncode> <openssl> <source> <work folder>",
              file=sys.stderr)
        return 2
    cmake, cpack, osslsigncode, openssl, source, work = argv[1:]
    work = os.path.realpath(work)
    shutil.rmtree(work, ignore_errors=True)
    keys = os.path.join(work, "keys")
    os.makedirs(keys)
    report = Report()

    key, cert = make_certificate(openssl, keys, "signer", "codeSigning")
    files = {name: os.path.join(keys, name) for name in ("cert.pfx", "password.txt", "wrong.txt")}
    with open(files["password.txt"], "w") as f:
        f.write("larkspan test password\n")
    with open(files["wrong.txt"], "w") as f:
        f.write("not the password\n")
    subprocess.run([openssl, "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", files["cert.pfx"],
                    "-passout", "file:" + files["password.txt"]], check=True, capture_output=True)
    tsa = TimeStampAuthority(openssl, keys)
    values = {"pfx": files["cert.pfx"], "password": files["password.txt"], "wrong": files["wrong.txt"],
              "missing": os.path.join(keys, "missing.pfx"), "down": closed_port_url()}

    signed = Build(cmake, cpack, source, os.path.join(work, "signed"))
    if (report.step("signed build: configure", signed.configure("-DLARKSPAN_SIGN_PFX=" + values["pfx"],
                                                                "-DLARKSPAN_SIGN_PASSWORD_FILE=" + values["password"]))
            and report.step("signed build: build", signed.build())
            and report.step("signed build: cpack -G ZIP", signed.pack())):
        unzipped = os.path.join(signed.folder, "unzipped")
        with zipfile.ZipFile(signed.zip) as z:
            z.extractall(unzipped)
        for name in PROGRAMS:
            check_signed(report, osslsigncode, f"built {name}", signed.program(name), cert)
            check_signed(report, osslsigncode, f"packed {PACKED[name]}", os.path.join(unzipped, PACKED[name]), cert)
            done = subprocess.run([sys.executable, os.path.join(HERE, "check_pe.py"), signed.program(name),
                                   name.removesuffix(".exe")], capture_output=True, text=True)
            report.check(done.returncode == 0, f"signed {name} passes check_pe.py"
                         + ("" if done.returncode == 0 else ":\n" + output(done)))

        # Changed options must sign again, even though nothing needs compiling.
        if (report.step("time-stamped: configure",
                        signed.configure("-DLARKSPAN_SIGN_TIMESTAMP_URL=" + tsa.url))
                and report.step("time-stamped: build", signed.build())):
            for name in PROGRAMS:
                check_signed(report, osslsigncode, f"time-stamped {name}", signed.program(name), cert, tsa.cert)

        # A build cut off between linking and signing leaves an unsigned
        # program newer than its inputs, which make takes for up to date.
        program = signed.program("quelbrin.exe")
        subprocess.run([osslsigncode, "remove-signature", "-in", program, "-out", program + ".cut"],
                       check=True, capture_output=True)
        os.replace(program + ".cut", program)
        done = signed.pack()
        said = " ".join((done.stdout + done.stderr).split())
        ok = done.returncode != 0 and "quelbrin.exe was not signed and is now deleted" in said
        report.check(ok and not os.path.exists(program),
                     "cut-off build: cpack refuses the unsigned quelbrin.exe and deletes it"
                     + ("" if ok else ":\n" + output(done)))
        if report.step("cut-off build: build again", signed.build()):
            check_signed(report, osslsigncode, "quelbrin.exe built again", program, cert, tsa.cert)

    for what, options, stage, message in FAILURES:
        build = Build(cmake, cpack, source, os.path.join(work, re.sub(r"\W+", "-", what)))
        options = [o.format(**values) for o in options]
        done = build.configure(*options)
        if stage == "build" and not report.step(f"{what}: configure", done):
            continue
        attempts = [build.build(), build.build()] if stage == "build" else [done]
        for attempt, done in enumerate(attempts, 1):
            said = " ".join((done.stdout + done.stderr).split())  # CMake wraps its messages
            ok = done.returncode != 0 and re.search(message, said)
            report.check(ok, f"{what}: {stage} {'fails' if attempt == 1 else 'fails again'} saying /{message}/"
                         + ("" if ok else ":\n" + output(done)))
        if stage == "build":
            left = [name for name in PROGRAMS if os.path.exists(build.program(name))]
            report.check(not left, f"{what}: no program left in bin/" + (f" (found {left})" if left else ""))
    tsa.server.shutdown()
    return report.exit_code()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
