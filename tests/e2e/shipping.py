#!/usr/bin/env python3
"""SETUP.EXE as it ships: its manifest, stripped with its debug information
beside it, the same bytes from a second build elsewhere, and signed.

The second build copies the sources to a temporary folder and builds the
windows preset from there into a folder beside it. Signing uses a throwaway certificate authority made
with openssl, and no network. Prints one line per check and closes with
"N passed, N failed".
"""
import argparse
import hashlib
import http.server
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import xml.etree.ElementTree as ElementTree
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import pe  # noqa: E402
from dll_guard import check_run, scenario_named  # noqa: E402
from run import Wine  # noqa: E402

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2019 = "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"
WINDOWS_7_TO_11 = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
DETECT_ONLY = "no adapter, detect only"
SIGN = os.path.join(HERE, "..", "..", "tools", "sign.sh")
RELEASE = os.path.join(HERE, "..", "..", "tools", "release.sh")
# What a reproduction needs, as Debian packages them.
TOOLCHAIN = ["binutils-mingw-w64-x86-64", "gcc-mingw-w64-x86-64-posix",
             "g++-mingw-w64-x86-64-posix", "mingw-w64-x86-64-dev", "osslsigncode"]
OTHER_DAY = "-400d"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha256(path):
    return hashlib.sha256(read(path)).hexdigest()


def shipped(options, work):
    """SETUP.EXE without a signature that `make sign` may have added."""
    path = os.path.join(work, "unsigned.exe")
    if os.path.exists(path):
        return path
    done = subprocess.run(["osslsigncode", "remove-signature", "-in", options.setup,
                           "-out", path], capture_output=True)
    if done.returncode != 0:
        shutil.copy(options.setup, path)
    return path


def check_manifest(options, work, notes):
    data = pe.resource(read(options.setup), 24, 1)
    if data is None:
        return ["no manifest (resource type 24, id 1)"]
    root = ElementTree.fromstring(data)
    problems = []
    levels = [(e.get("level"), e.get("uiAccess"))
              for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
    if levels != [("requireAdministrator", "false")]:
        problems.append("execution levels %s, expected requireAdministrator only" % levels)
    settings = [(setting.tag, setting.text) for parent in root.iter()
                if parent.tag.endswith("}windowsSettings") for setting in parent]
    if settings != [(SETTINGS_2019 + "activeCodePage", "UTF-8")]:
        problems.append("Windows settings %s, expected the UTF-8 code page only" % settings)
    systems = [e.get("Id") for e in root.iter(COMPATIBILITY + "supportedOS")]
    if sorted(systems) != sorted(WINDOWS_7_TO_11):
        problems.append("supported systems %s, expected Windows 7 to 11" % systems)
    return problems


def check_stripped(options, work, notes):
    setup = read(shipped(options, work))
    debug = options.setup + ".debug"
    notes.append("SETUP.EXE %d bytes, SETUP.EXE.debug %d bytes"
                 % (len(setup), os.path.getsize(debug)))
    problems = ["SETUP.EXE holds " + name for name, _, _, _ in pe.sections(setup)
                if name.startswith(".debug")]
    link = pe.section(setup, ".gnu_debuglink")
    if not link:
        return problems + ["no debug link"]
    offset = link[1]
    name = setup[offset:setup.index(b"\0", offset)]
    crc = int.from_bytes(setup[offset + (len(name) + 4) // 4 * 4:][:4], "little")
    if name != b"SETUP.EXE.debug" or crc != zlib.crc32(read(debug)):
        problems.append("debug link to %r with CRC %08x, expected SETUP.EXE.debug with %08x"
                        % (name, crc, zlib.crc32(read(debug))))
    # What a debugger does: from an address in the stripped file to a source line.
    symbols = subprocess.run(["x86_64-w64-mingw32-nm", debug], capture_output=True, text=True,
                             check=True).stdout
    main = re.search(r"^([0-9a-f]+) T main$", symbols, re.M)
    found = subprocess.run(["x86_64-w64-mingw32-addr2line", "-e", options.setup,
                            "0x" + main.group(1)] if main else ["false"],
                           capture_output=True, text=True).stdout.strip()
    if not re.fullmatch(r"\S*/main/main\.cpp:\d+", found) or options.source in found:
        problems.append("main's address in SETUP.EXE gives %r, expected a line of "
                        "main/main.cpp without the checkout's folder" % found)
    return problems


def pe_checksum(data):
    """The PE checksum, computed apart from tools/pe.py: 32-bit words summed
    with their carries, folded to 16 bits, plus the file's length."""
    at = pe.pe_offset(data) + pe.CHECKSUM_AT
    words = data[:at] + b"\0\0\0\0" + data[at + 4:]
    words += b"\0" * (-len(words) % 4)
    total = 0
    for word, in struct.iter_unpack("<I", words):
        total += word
        total = (total & 0xFFFFFFFF) + (total >> 32)
    total = (total & 0xFFFF) + (total >> 16)
    total = (total + (total >> 16)) & 0xFFFF
    return total + len(data)


def check_checksum(options, work, notes):
    data = read(shipped(options, work))
    stored, = struct.unpack_from("<I", data, pe.pe_offset(data) + pe.CHECKSUM_AT)
    notes.append("PE checksum %08X" % stored)
    if stored != pe_checksum(data):
        return ["PE checksum %08X, computed %08X" % (stored, pe_checksum(data))]
    return []


def toolchain():
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\n"] + TOOLCHAIN,
                          capture_output=True, text=True)
    return done.stdout.splitlines()


def check_reproducible(options, work, notes):
    # Another checkout, a build folder outside it, and another umask, time
    # zone, locale and day.
    source = os.path.join(work, "elsewhere")
    build = os.path.join(work, "elsewhere-build")
    shutil.copytree(options.source, source,
                    ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
    env.pop("SOURCE_DATE_EPOCH", None)
    env.update(TZ="Pacific/Kiritimati",
               LC_ALL="C" if os.environ.get("LC_ALL", os.environ.get("LANG")) != "C" else "C.UTF-8")
    notes += ["built with " + line for line in toolchain()]
    notes.append("second build: umask 077, TZ=%s, LC_ALL=%s, the clock %s" % (
        env["TZ"], env["LC_ALL"], OTHER_DAY))
    for command in (["cmake", "--preset", "windows", "-B", build],
                    ["cmake", "--build", build, "--target", "setup"]):
        done = subprocess.run(["faketime", "-f", OTHER_DAY] + command, cwd=source, env=env,
                              capture_output=True, text=True, preexec_fn=lambda: os.umask(0o077))
        if done.returncode != 0:
            return ["%s: %s" % (" ".join(command), (done.stdout + done.stderr)[-2000:])]
    problems = []
    for name, ours in (("SETUP.EXE", shipped(options, work)),
                       ("SETUP.EXE.debug", options.setup + ".debug")):
        theirs = os.path.join(build, name)
        notes += ["%s  %s" % (sha256(ours), os.path.join(options.windows_build, name)),
                  "%s  %s" % (sha256(theirs), theirs)]
        if read(ours) != read(theirs):
            problems.append(name + " differs from the same sources built elsewhere")
    return problems


def make_signer(work):
    """A throwaway certificate authority and a code-signing certificate from
    it in a PKCS#12 file, made once; returns (CA file, PKCS#12 file, password file)."""
    folder = os.path.join(work, "signer")
    made = tuple(os.path.join(folder, name) for name in ("ca.pem", "signer.pfx", "password"))
    if os.path.exists(made[1]):
        return made
    os.makedirs(folder)

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=folder, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test CA",
            "-keyout", "ca.key", "-out", "ca.pem",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=VLQ test signer",
            "-keyout", "signer.key", "-out", "signer.csr")
    with open(os.path.join(folder, "signer.ext"), "w") as f:
        f.write("keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "signer.ext", "-out", "signer.pem")
    with open(os.path.join(folder, "password"), "w") as f:
        f.write("a pass phrase\n")
    openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem",
            "-certfile", "ca.pem", "-passout", "file:password", "-out", "signer.pfx")
    return made


def wrong_password(work):
    """A password file that does not open the signer's PKCS#12 file."""
    path = os.path.join(work, "wrong password")
    with open(path, "w") as f:
        f.write("not it\n")
    return path


def signing_env(pfx=None, password=None, **more):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VTN2_SIGN_")}
    env.update({k: v for k, v in (("VTN2_SIGN_PFX", pfx),
                                  ("VTN2_SIGN_PASSWORD_FILE", password)) if v})
    env.update(("VTN2_SIGN_" + k.upper(), v) for k, v in more.items())
    return env


def sign(program, pfx=None, password=None, wait=120, **more):
    return subprocess.run([SIGN, program], env=signing_env(pfx, password, **more),
                          capture_output=True, text=True, timeout=wait)


class SilentServer:
    """A time-stamp server on 127.0.0.1 that takes connections and never answers."""

    def __enter__(self):
        self.socket = socket.socket()
        self.clients = []
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(8)
        self.url = "http://127.0.0.1:%d/" % self.socket.getsockname()[1]
        return self

    def wait_for_client(self, seconds):
        self.socket.settimeout(seconds)
        self.clients.append(self.socket.accept()[0])

    def __exit__(self, *exc):
        for client in self.clients + [self.socket]:
            client.close()


class TimeStampServer:
    """An RFC 3161 time-stamp authority on 127.0.0.1, openssl ts behind it."""

    def __init__(self, work):
        self.folder = os.path.join(work, "tsa")
        os.makedirs(self.folder, exist_ok=True)

        def openssl(*args):
            subprocess.run(["openssl"] + list(args), cwd=self.folder, check=True,
                           capture_output=True)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=Test TSA", "-keyout", "tsa.key", "-out", "tsa.pem",
                "-addext", "keyUsage=critical,digitalSignature",
                "-addext", "extendedKeyUsage=critical,timeStamping")
        with open(os.path.join(self.folder, "tsa.cnf"), "w") as f:
            f.write("[ tsa ]\ndefault_tsa = t\n[ t ]\nserial = serial\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256\nsigner_digest = sha256\n"
                    "ess_cert_id_alg = sha256\n")

    def __enter__(self):
        folder = self.folder

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = subprocess.run(
                    ["openssl", "ts", "-reply", "-queryfile", "/dev/stdin", "-signer", "tsa.pem",
                     "-inkey", "tsa.key", "-config", "tsa.cnf", "-out", "/dev/stdout"],
                    input=query, cwd=folder, capture_output=True).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass
        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def check_bounded(options, work, notes):
    """Signing against a server that never answers: it gives up in the time
    set, and a signal mid-way ends it at once; SETUP.EXE as it was and
    nothing left beside it either way."""
    _, pfx, password = make_signer(work)
    unsigned = shipped(options, work)
    folder = os.path.join(work, "bounded")
    os.makedirs(folder)
    program = os.path.join(folder, "SETUP.EXE")
    shutil.copy(unsigned, program)
    problems = []

    def left(how):
        if read(program) != read(unsigned):
            problems.append(how + ": SETUP.EXE changed")
        if os.listdir(folder) != ["SETUP.EXE"]:
            problems.append(how + ": left %s" % sorted(os.listdir(folder)))

    with SilentServer() as server:
        try:
            done = sign(program, pfx, password, wait=30, timestamp_url=server.url, timeout="3")
        except subprocess.TimeoutExpired:
            done = None
        if done is None or done.returncode != 2 or "time-stamp server" not in done.stderr:
            problems.append("a time-stamp server that never answers: %s" % (
                "still waiting after 30 s" if done is None
                else "exit %d, %r" % (done.returncode, done.stderr)))
        left("a time-stamp server that never answers")
    for name in ("SIGTERM", "SIGINT"):
        with SilentServer() as server:
            # A shell started in the background inherits SIGINT ignored, and
            # bash cannot trap what it was started ignoring: a person's ^C
            # reaches the script with the default disposition.
            process = subprocess.Popen([SIGN, program], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, env=signing_env(
                                           pfx, password, timestamp_url=server.url),
                                       preexec_fn=lambda: signal.signal(signal.SIGINT,
                                                                        signal.SIG_DFL))
            try:
                server.wait_for_client(30)
                process.send_signal(getattr(signal, name))
                process.wait(timeout=15)
            except (socket.timeout, subprocess.TimeoutExpired):
                problems.append("%s mid-way: signing did not end" % name)
            finally:
                process.kill()
                process.wait()
        left(name + " while waiting for the time stamp")
    return problems


def verify(program, ca, notes):
    done = subprocess.run(["osslsigncode", "verify", "-ignore-cdp", "-CAfile", ca,
                           "-in", program], capture_output=True, text=True)
    lines = re.findall(r"^(?:Current|Calculated) message digest.*$|^Signature verification.*$",
                       done.stdout + done.stderr, re.M)
    notes += [os.path.basename(program) + ": " + line.strip() for line in lines]
    return done.returncode, lines


def check_signing(options, work, notes):
    ca, pfx, password = make_signer(work)
    unsigned = shipped(options, work)
    program = os.path.join(work, "SETUP.EXE")
    problems = []

    shutil.copy(unsigned, program)
    done = sign(program)
    if done.returncode != 2 or "VTN2_SIGN_PFX" not in done.stderr or read(program) != read(unsigned):
        problems.append("without settings: exit %d, %r" % (done.returncode, done.stderr))
    wrong = wrong_password(work)
    done = sign(program, pfx, wrong)
    if done.returncode != 2 or "password" not in done.stderr or read(program) != read(unsigned):
        problems.append("wrong password: exit %d, %r, %s" % (
            done.returncode, done.stderr,
            "file as it was" if read(program) == read(unsigned) else "file changed"))

    done = sign(program, pfx, password)
    if done.returncode != 0:
        return problems + ["signing failed: " + done.stderr]
    code, lines = verify(program, ca, notes)
    if code != 0 or "Signature verification: ok" not in lines:
        problems.append("the signed file does not verify against the test CA")
    _, offset, size = pe.section(read(program), ".text")
    flipped = os.path.join(work, "flipped.exe")
    data = bytearray(read(program))
    data[offset + size // 2] ^= 0x01
    with open(flipped, "wb") as f:
        f.write(data)
    code, lines = verify(flipped, ca, notes)
    if code == 0 or "Signature verification: ok" in lines:
        problems.append("a byte changed in the code still verifies")

    # What anyone does to compare a signed SETUP.EXE with a rebuild.
    removed = os.path.join(work, "removed.exe")
    subprocess.run(["osslsigncode", "remove-signature", "-in", program, "-out", removed],
                   capture_output=True, check=True)
    if read(removed) != read(unsigned):
        problems.append("the signed SETUP.EXE without its signature differs from the unsigned")

    scenario = scenario_named(DETECT_ONLY)
    wine = Wine(work, options.build, options.windows_build)
    try:
        wine.prepare()
        runs = [wine.wine([path] + scenario["args"], input=scenario["stdin"], cwd=work,
                          timeout=scenario["timeout"]) for path in (unsigned, program)]
    finally:
        wine.finish()
    if (runs[0].returncode, runs[0].stdout) != (runs[1].returncode, runs[1].stdout):
        problems.append("under Wine with /H: unsigned exit %d %r, signed exit %d %r" % (
            runs[0].returncode, runs[0].stdout, runs[1].returncode, runs[1].stdout))
    return problems + check_run(runs[1], scenario, work)


def contents(folder):
    return {name: read(os.path.join(folder, name))
            for name in (os.listdir(folder) if os.path.isdir(folder) else [])}


def release(build, folder, *more, **settings):
    return subprocess.run([RELEASE, build, folder], env=signing_env(*more, **settings),
                          capture_output=True, text=True, timeout=120)


def check_release(options, work, notes):
    """tools/release.sh from a SETUP.EXE that `make sign` signed in place."""
    _, pfx, password = make_signer(work)
    unsigned = shipped(options, work)
    build = os.path.join(work, "release-build")
    folder = os.path.join(work, "release")
    os.makedirs(build)
    shutil.copy(unsigned, os.path.join(build, "SETUP.EXE"))
    shutil.copy(options.setup + ".debug", build)
    if sign(os.path.join(build, "SETUP.EXE"), pfx, password).returncode != 0:
        return ["could not sign the build output"]
    problems = []
    done = release(build, folder)
    # It ends by saying what it ships: the sums a release engineer copies.
    sums = os.path.join(folder, "SHA256SUMS")
    said_sums = os.path.exists(sums) and done.stdout.endswith(read(sums).decode())
    if done.returncode != 0 or "SETUP.EXE not signed" not in done.stdout or not said_sums or \
            read(os.path.join(folder, "SETUP.EXE")) != read(unsigned):
        problems.append("without the signing settings: exit %d, %r, and it ships %s" % (
            done.returncode, done.stdout, "the unsigned SETUP.EXE"
            if read(os.path.join(folder, "SETUP.EXE")) == read(unsigned) else "another file"))
    wrong = wrong_password(work)
    for how, (args, settings, said) in {
            "required, not signed": ((), dict(required="1"), "not signed"),
            "required, no time stamp": ((pfx, password), dict(required="1"), "without a time stamp"),
            "a wrong password": ((pfx, wrong), {}, "password")}.items():
        release(build, folder)  # a whole release before each failing one
        previous = contents(folder)
        done = release(build, folder, *args, **settings)
        now = contents(folder)
        if done.returncode != 2 or said not in done.stderr or now != previous or \
                os.path.exists(folder + ".part"):
            problems.append("%s: exit %d, %r; the previous release %s, %s" % (
                how, done.returncode, done.stderr, "whole" if now == previous else "changed",
                "a release.part left" if os.path.exists(folder + ".part") else "nothing left"))
    # Stopped between its two renames: an `mv` that ends the release as soon
    # as the previous one is out of the way.
    shim = os.path.join(work, "shim")
    os.makedirs(shim)
    with open(os.path.join(shim, "mv"), "w") as f:
        f.write('#!/bin/sh\n/bin/mv "$@" || exit\ncase "$2" in *.old) kill -TERM $PPID;; esac\n')
    os.chmod(os.path.join(shim, "mv"), 0o755)
    previous = contents(folder)
    subprocess.run([RELEASE, build, folder], capture_output=True, timeout=120,
                   env=dict(signing_env(), PATH=shim + os.pathsep + os.environ["PATH"]))
    if contents(folder) != previous or os.path.exists(folder + ".old"):
        problems.append("stopped between its renames: the previous release %s" % (
            "moved to release.old" if os.path.exists(folder + ".old") else "changed"))
    with TimeStampServer(work) as server:
        done = release(build, folder, pfx, password, required="1", timestamp_url=server.url)
    if done.returncode != 0 or "SETUP.EXE signed, with a time stamp" not in done.stdout:
        problems.append("required, signed with a time stamp: exit %d, %r" % (
            done.returncode, done.stdout + done.stderr))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True, help="the checkout")
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--windows-build", required=True, help="where SETUP.EXE was built")
    options = parser.parse_args()
    for name in ("source", "build", "windows_build"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    options.setup = os.path.join(options.windows_build, "SETUP.EXE")

    missing = [tool for tool in ("osslsigncode", "openssl", "faketime") if not shutil.which(tool)]
    if missing:
        print("shipping: cannot check without %s: install the Debian packages of that name"
              " (make deps does)" % ", ".join(missing))
        return 1
    checks = [("the manifest asks for elevation, UTF-8 and Windows 7 to 11", check_manifest),
              ("the PE checksum as computed apart from the build", check_checksum),
              ("stripped, its debug information beside it through the debug link", check_stripped),
              ("the same bytes from the same sources built elsewhere, on another day",
               check_reproducible),
              ("signed, verified, refused when changed, the same under Wine", check_signing),
              ("signing bounded in time, and interrupted without a trace", check_bounded),
              ("a release says what it ships, and a failed one keeps the last", check_release)]
    Wine.make_base(os.path.join(options.build, "wine-base"))
    failed = 0
    with tempfile.TemporaryDirectory(prefix="vtn2-shipping-") as work:
        for name, function in checks:
            notes = []
            try:
                problems = function(options, work, notes)
            except (OSError, ValueError, subprocess.SubprocessError) as error:
                problems = ["%s: %s" % (type(error).__name__, error)]
            failed += bool(problems)
            print(("FAIL  " if problems else "ok    ") + name)
            for line in notes + problems:
                print("      " + line)
            sys.stdout.flush()
    print("shipping: %d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
