#!/usr/bin/env python3
"""Runs the Windows programs of a MinGW build under Wine, for CTest.

  winetest.py --build-dir B --wine WINE64 prefix
      makes (or refreshes) the private Wine prefix B/wine/prefix.
  winetest.py ... run [--device echo|silent|none] EXE [ARGS...]
      runs a console program with COM1 mapped to the chosen device.
  winetest.py ... cli EXE
      runs qmb-cli.exe against the simulator on COM1: read, info, backup,
      verify, a port that is absent, the port map, a two-board production
      loop on COM2 recorded in SQLite (and its records read back), a loop,
      log, backup and record file with names beyond ASCII (an operator
      "Dvořák", a record file under C:/users/Jürgen), and a
      restore during which the line hangs up; checks exit codes and output.
  winetest.py ... station EXE
      runs qmb-station.exe with slot A on the simulator on COM1 (an ignition
      every 1.2 s): its API answers, a board passes and is recorded (an
      operator "Müller", in a record file and with a token file whose names
      are beyond ASCII), the token is asked for and stop-all stops the slot.
  winetest.py ... answers [--program NAME] EXE VERSION
      runs the window program NAME (qmb-edit, qmb-device) with --version,
      --help and an unknown option with no display (a window could not open): checks what each prints and its
      exit code.
  winetest.py ... gui --app EXE --driver EXE --scenarios FILE
                  [--devsim PATH] [--screenshot PNG] [--window-class CLASS] NAME
      starts Xvfb (1024 x 768), the device the scenario names on COM1,
      qmb-edit.exe, and the GUI driver replaying scenario NAME; checks that
      the application then ends with exit code 0. With --window-class
      (qmb-device.exe: QMB_DEVICE) the driver drives that window; the
      scenario's files go to a fresh folder (QMB_TEST_DIR, "$DIR" in its
      steps) and the application's frame trace to trace.txt there; the
      screenshot is then the whole screen.

Devices on COM1 (a pseudo-terminal mapped with `reg add`):
  sim     the device simulator (qmb-devsim) with the scenario's arguments;
  silent  a line on which nothing ever answers;
  echo    a peer that echoes every write; a write starting with '?' is
          answered with the line settings it sees, one starting with '!' with
          "abc", "def", "ghi" sent 100 ms apart;
  none    COM1 unmapped.
With echo, COM2 is a line that hangs up (its pseudo-terminal's master is
closed, as when a serial adapter is pulled out) at the first byte written to
it. COM2 otherwise, and COM3 and COM4 always, are unmapped.
"""

import argparse
import os
import pty
import select
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

STARTUP_TIMEOUT = 15.0
DRIVER_TIMEOUT = 150.0


T0 = time.time()


def log(message):
    print("[winetest %5.1f s] %s" % (time.time() - T0, message), flush=True)


def windows_path(path):
    """A Unix path as Wine's drive Z: sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


WINE_FONTS = "/usr/share/wine/fonts"


def install_wine_fonts(prefix):
    """Copies Wine's own fonts (Debian's fonts-wine) into the prefix's
    C:\\windows\\Fonts. Debian's wineboot leaves that folder empty, and
    without them "MS Sans Serif" falls back to a host TrueType font: dialog
    units, edit margins and caption-button glyphs then differ from Windows
    (a 19-unit edit box takes only two digits)."""
    target = os.path.join(prefix, "drive_c", "windows", "Fonts")
    os.makedirs(target, exist_ok=True)
    for name in os.listdir(WINE_FONTS) if os.path.isdir(WINE_FONTS) else []:
        shutil.copy2(os.path.join(WINE_FONTS, name), target)


class Wine:
    def __init__(self, build_dir, wine64):
        self.root = os.path.join(os.path.abspath(build_dir), "wine")
        self.prefix = os.path.join(self.root, "prefix")
        self.wine64 = wine64
        self.wineserver = os.path.join(os.path.dirname(wine64), "wineserver")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def run(self, args, timeout=120):
        """Runs a Wine program to its end. Its output goes to a file, not a
        pipe: the Wine server and services it starts inherit the output and
        would hold a pipe open for seconds after the program has ended."""
        with tempfile.TemporaryFile() as output:
            code = subprocess.run([self.wine64] + args, env=self.env, timeout=timeout,
                                  stdout=output, stderr=subprocess.STDOUT).returncode
            if code != 0:
                output.seek(0)
                sys.stdout.write(output.read().decode(errors="replace"))
                raise RuntimeError("wine %s failed with %d" % (args[0], code))

    def kill_server(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=30)

    def make_prefix(self):
        """Makes the prefix once per Wine version; later calls reuse it."""
        os.makedirs(self.root, exist_ok=True)
        self.kill_server()
        version = subprocess.run([self.wine64, "--version"], env=self.env,
                                 stdout=subprocess.PIPE, text=True).stdout.strip() + " fonts"
        marker = os.path.join(self.root, "prefix-ready")
        if os.path.exists(marker) and open(marker).read() == version:
            log("reusing the prefix of %s: %s" % (version, self.prefix))
            return
        start = time.time()
        self.run(["wineboot", "-i"], timeout=300)
        install_wine_fonts(self.prefix)
        # Wine draws the window frames itself (there is no window manager
        # under Xvfb), and a crashing program ends instead of opening a dialog.
        self.run(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N",
                  "/f"])
        self.run(["reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t",
                  "REG_DWORD", "/d", "0", "/f"])
        self.kill_server()
        with open(marker, "w") as f:
            f.write(version)
        log("prefix ready in %.1f s: %s" % (time.time() - start, self.prefix))

    def map_com1(self, device_path, com2_path=""):
        """COM1 to device_path ("" for none), COM2 to com2_path; COM3 and
        COM4 to nothing. An empty value keeps Wine's mount manager from
        giving the port to a serial device of the host."""
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            raise RuntimeError("no Wine prefix: run the wine.prefix test first")
        self.kill_server()
        for port, target in (("COM1", device_path), ("COM2", com2_path), ("COM3", ""),
                             ("COM4", "")):
            self.run(["reg", "add", r"HKLM\Software\Wine\Ports", "/v", port, "/d", target, "/f"])
        # The mount manager makes the dosdevices links when the server starts.
        self.kill_server()
        log("COM1 mapped to %s" % (device_path or "nothing"))
        if com2_path:
            log("COM2 mapped to %s" % com2_path)

    def set_dpi(self, dpi):
        """The screen's dots per inch as Windows' display scale sets them
        (96 is 100 %, 192 is 200 %), for the programs started from now."""
        self.kill_server()
        self.run(["reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                  "REG_DWORD", "/d", str(dpi), "/f"])
        self.kill_server()

    def start_server(self):
        """Starts the Wine server ahead of the programs, detached from every
        pipe; it stays until kill_server."""
        subprocess.run([self.wineserver, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def start(self, args, env=None, **kwargs):
        """Starts a Wine program; env adds to the prefix's environment."""
        return subprocess.Popen([self.wine64] + args, env=dict(self.env, **(env or {})), **kwargs)


class Pty:
    """A raw pseudo-terminal pair; Wine opens the slave as the COM port."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.stopping = False
        self.thread = None

    def serve_echo(self):
        self.thread = threading.Thread(target=self._echo, daemon=True)
        self.thread.start()

    def serve_hangup(self):
        """Closes the master at the first byte that arrives: every open end
        of the slave is hung up, as a pulled-out adapter leaves its port."""
        self.thread = threading.Thread(target=self._hangup, daemon=True)
        self.thread.start()

    def _hangup(self):
        while not self.stopping:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                os.close(self.master)
                self.master = None
                os.close(self.slave)
                self.slave = None
                return

    def settings_line(self):
        iflag, _, cflag, _, ispeed, ospeed = termios.tcgetattr(self.slave)[:6]
        speed = {termios.B9600: "9600", termios.B38400: "38400"}.get(ospeed, "other")
        if ispeed != ospeed:
            speed += "/" + {termios.B38400: "38400"}.get(ispeed, "other")
        size = {termios.CS5: "cs5", termios.CS6: "cs6", termios.CS7: "cs7",
                termios.CS8: "cs8"}[cflag & termios.CSIZE]

        def flag(word, bit, name):
            return ("" if word & bit else "-") + name

        return " ".join([speed, size, flag(cflag, termios.PARENB, "parenb"),
                         flag(cflag, termios.CSTOPB, "cstopb"),
                         flag(cflag, termios.CRTSCTS, "crtscts"),
                         flag(iflag, termios.IXON, "ixon"),
                         flag(iflag, termios.IXOFF, "ixoff")]) + "\n"

    def _echo(self):
        while not self.stopping:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.05)
                continue
            if data.startswith(b"?"):
                os.write(self.master, self.settings_line().encode())
            elif data.startswith(b"!"):
                for piece in (b"abc", b"def", b"ghi"):
                    os.write(self.master, piece)
                    time.sleep(0.1)
            else:
                os.write(self.master, data)

    def close(self):
        self.stopping = True
        if self.thread:
            self.thread.join(1)
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)


class Simulator:
    """qmb-devsim on its own pseudo-terminal, with a control socket."""

    def __init__(self, devsim, args, workdir):
        if not devsim or not os.access(devsim, os.X_OK):
            raise RuntimeError("no device simulator at %r: build the native preset first"
                               % devsim)
        self.control = os.path.join(workdir, "devsim.sock")
        self.log_path = os.path.join(workdir, "devsim.log")
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen([devsim, "--control", self.control] + args,
                                        stdout=subprocess.PIPE, stderr=self.log)
        ready, _, _ = select.select([self.process.stdout], [], [], STARTUP_TIMEOUT)
        line = self.process.stdout.readline().decode().strip() if ready else ""
        if not line.startswith("/dev/"):
            self.stop()
            raise RuntimeError("the simulator printed no pty path (got %r)" % line)
        self.path = line
        deadline = time.time() + STARTUP_TIMEOUT
        while not os.path.exists(self.control) and time.time() < deadline:
            time.sleep(0.05)

    def command(self, line):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.control)
            s.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        return answer.decode(errors="replace").strip()

    def stop(self):
        if self.process.poll() is None:
            try:
                self.command("quit")
                self.process.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.log.close()


class Xvfb:
    def __init__(self, size="1024x768"):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size + "x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        # Xvfb writes the number and the line end separately, and ends itself
        # when the second write fails: read the whole line before closing.
        number = b""
        deadline = time.time() + STARTUP_TIMEOUT
        while not number.endswith(b"\n") and time.time() < deadline:
            ready, _, _ = select.select([read_end], [], [], deadline - time.time())
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        number = number.decode().strip()
        if not number:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def screenshot(self, path, rect=None):
        """The screen, or the rectangle (left, top, width, height) of it."""
        shot = ["import", "-display", self.display, "-window", "root"]
        if rect is None:
            subprocess.run(shot + [path], check=True, timeout=30)
            return
        left, top, width, height = rect
        whole = subprocess.run(shot + ["png:-"], check=True, timeout=30,
                               stdout=subprocess.PIPE).stdout
        subprocess.run(["convert", "png:-", "-crop", "%dx%d+%d+%d" % (width, height, left, top),
                        "+repage", path], input=whole, check=True, timeout=30)

    def stop(self):
        self.process.terminate()
        self.process.wait()


def scenario_device(path, name):
    """The device line of scenario name: (kind, simulator arguments)."""
    current = None
    with open(path) as f:
        for line in f:
            words = shlex.split(line, comments=True)
            if not words:
                continue
            if words[0] == "scenario":
                current = words[1]
            elif current == name:
                if words[0] == "device":
                    return words[1], words[2:]
                return "sim", []
    if current is None:
        raise RuntimeError("no scenarios in " + path)
    return "sim", []


def scenario_display(path, name):
    """The screen of scenario name: (size, dpi). A "display WxH DPI" line
    (read here; the driver skips it) sets them; else 1024x768 at 96 dpi."""
    current = None
    with open(path) as f:
        for line in f:
            words = shlex.split(line, comments=True)
            if words and words[0] == "scenario":
                current = words[1]
            elif current == name and words and words[0] == "display":
                return words[1], int(words[2])
    return "1024x768", 96


def open_device(kind, args, devsim, workdir):
    if kind == "sim":
        return Simulator(devsim, args, workdir)
    if kind in ("silent", "echo"):
        line = Pty()
        if kind == "echo":
            line.serve_echo()
        return line
    if kind == "none":
        return None
    raise RuntimeError("unknown device " + kind)


def close_device(device):
    if isinstance(device, Simulator):
        device.stop()
    elif device is not None:
        device.close()


def command_run(wine, opts):
    with tempfile.TemporaryDirectory() as workdir:
        device = open_device(opts.device, [], opts.devsim, workdir)
        hangup = None
        try:
            if opts.device == "echo":
                hangup = Pty()
                hangup.serve_hangup()
            wine.map_com1(device.path if device else "", hangup.path if hangup else "")
            result = subprocess.run([wine.wine64, opts.exe] + opts.args, env=wine.env,
                                    timeout=opts.timeout)
            return result.returncode
        finally:
            wine.kill_server()
            close_device(device)
            close_device(hangup)


def command_cli(wine, opts):
    with tempfile.TemporaryDirectory() as workdir:
        device = Simulator(opts.devsim, ["--no-pacing"], workdir)
        # COM2: a board that ignites, for the production loop and its records.
        boards_dir = os.path.join(workdir, "boards")
        os.mkdir(boards_dir)
        boards = Simulator(opts.devsim, ["--no-pacing", "--ignition-every", "1000"], boards_dir)
        try:
            wine.map_com1(device.path, boards.path)
            backup = os.path.join(workdir, "device.qmb")
            image = os.path.join(workdir, "image.hex")
            with open(image, "w") as f:
                f.write("C0 C1 C2 C3 C4 C5 C6 C7\n")
            records = "sqlite:" + windows_path(os.path.join(workdir, "records.sqlite"))
            # Wine sets %LOCALAPPDATA% from its own profile (C:\users\root):
            # the record file goes to a folder like a German user's by --db.
            utf8_env = {"LC_ALL": "C.UTF-8"}
            utf8_records = "sqlite:C:\\users\\Jürgen\\AppData\\Local\\qmb-edit\\records.sqlite"
            utf8_db = os.path.join(wine.prefix, "drive_c", "users", "Jürgen", "AppData", "Local",
                                   "qmb-edit", "records.sqlite")
            if os.path.exists(utf8_db):
                os.remove(utf8_db)
            utf8_log = os.path.join(workdir, "Müller.jsonl")
            utf8_backup = os.path.join(workdir, "Gerät-Jürgen.qmb")
            steps = [
                (["read", "11"], 0, "A0 A1 A2 A3 A4 A5 A6 A7\r\n"),
                (["--json", "info", "5"], 0, '"absent":true'),
                (["backup", windows_path(backup)], 0, ""),
                (["verify", windows_path(backup)], 0, ""),
                (["-p", "COM9", "info", "11"], 3, ""),
                # The port map (%APPDATA%) points a name at another port.
                (["ports", "--map", "COM9", "COM1"], 0, "port map"),
                (["-p", "COM9", "info", "11"], 0, "section 11 address 11 22 33 length 8"),
                (["ports", "--unmap", "COM9"], 0, ""),
                (["-p", "COM9", "info", "11"], 3, ""),
                # Two boards on COM2, each recorded in SQLite.
                (["-p", "COM2", "loop", "11", windows_path(image), "--count", "2",
                  "--db", records, "--station", "wine"], 0, "passed 2, failed 0"),
                (["records", "stats", "--db", records, "--station", "wine", "--format", "json"],
                 0, '"passes": 2'),
                (["records", "--db", records, "--format", "csv"], 0, ",wine,0,COM2,"),
                # Text beyond ASCII, read wide at the door and kept as UTF-8:
                # an operator, a log, a backup and a record file under a
                # profile folder with such names.
                (["-p", "COM2", "loop", "11", windows_path(image), "--count", "1",
                  "--station", "wine-utf8", "--operator", "Dvořák", "--db", utf8_records,
                  "--log", windows_path(utf8_log)], 0, "passed 1, failed 0", utf8_env),
                (["records", "--db", utf8_records, "--station", "wine-utf8", "--format", "json"], 0,
                 '"operator":"Dvořák"', utf8_env),
                (["backup", windows_path(utf8_backup), "--sections", "11"], 0, "", utf8_env),
                (["verify", windows_path(utf8_backup)], 0, "", utf8_env),
                # The line hangs up in the middle of a restore, as when the
                # adapter is pulled out: lost (11), not a silent device (7).
                # Last, since COM1's terminal is gone afterwards.
                "fault hangup 5 on write skip 2",
                (["restore", windows_path(backup), "--sections", "1-4,11"], 11,
                 "restored: 1-2\r\nnot restored: 3-4 11\r\n"),
            ]
            for step in steps:
                if isinstance(step, str):
                    answer = device.command(step)
                    log("simulator: %s -> %s" % (step, answer))
                    if not answer.startswith("ok"):
                        return 1
                    continue
                args, want, says = step[:3]
                env = dict(wine.env, **(step[3] if len(step) > 3 else {}))
                output_path = os.path.join(workdir, "stdout")
                with open(output_path, "wb") as output:
                    code = subprocess.run([wine.wine64, opts.exe] + args, env=env,
                                          stdout=output, timeout=120).returncode
                out = open(output_path, "rb").read().decode(errors="replace")
                log("qmb-cli %s -> %d %r" % (" ".join(args), code, out[:80]))
                if code != want or says not in out:
                    log("expected exit code %d and %r" % (want, says))
                    return 1
            log_text = open(utf8_log, encoding="utf-8").read() if os.path.exists(utf8_log) else ""
            if '"operator":"Dvořák"' not in log_text or not os.path.exists(utf8_db):
                log("the log %r or the record file %s is not where its UTF-8 name says"
                    % (log_text[:200], utf8_db))
                return 1
            text = open(backup).read()
            if "\nsections 126\n" not in text or "data A0 A1 A2 A3 A4 A5 A6 A7\n" not in text:
                log("the backup lacks sections:\n" + text[:400])
                return 1
            return 0
        finally:
            wine.kill_server()
            close_device(device)
            close_device(boards)


def command_station(wine, opts):
    import json
    import urllib.error
    import urllib.request

    with tempfile.TemporaryDirectory() as workdir:
        device = Simulator(opts.devsim, ["--no-pacing", "--ignition-every", "1200"], workdir)
        station = None
        try:
            wine.map_com1(device.path)
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                port = s.getsockname()[1]
            image = os.path.join(workdir, "image.hex")
            with open(image, "w") as f:
                f.write("C0 C1 C2 C3 C4 C5 C6 C7\n")
            # The operator, the token file and the record file have names
            # beyond ASCII: read wide, kept as UTF-8, opened by wide names.
            token_file = os.path.join(workdir, "Jürgen.token")
            records = os.path.join(workdir, "Jürgen", "records.sqlite")
            err = open(os.path.join(workdir, "station.err"), "wb")
            station = wine.start([opts.exe, "--slot", "A=COM1", "--section", "11", "--image",
                                  windows_path(image), "--token-file", windows_path(token_file),
                                  "--db", "sqlite:" + windows_path(records), "--operator", "Müller",
                                  "--listen", "127.0.0.1:%d" % port],
                                 env={"LC_ALL": "C.UTF-8"},
                                 stdout=subprocess.DEVNULL, stderr=err)
            base = "http://127.0.0.1:%d" % port

            def call(path, method="GET", token=None):
                req = urllib.request.Request(base + path, method=method,
                                             data=b"" if method == "POST" else None)
                if token:
                    req.add_header("Authorization", "Bearer " + token)
                try:
                    with urllib.request.urlopen(req, timeout=5) as res:
                        return res.status, json.loads(res.read())
                except urllib.error.HTTPError as e:
                    return e.code, json.loads(e.read())

            deadline = time.time() + 60
            slots = None
            while time.time() < deadline:
                try:
                    code, slots = call("/api/slots")
                    if code == 200 and slots[0]["passed"] >= 1:
                        break
                except (OSError, ValueError):
                    pass
                time.sleep(0.3)
            log("GET /api/slots -> %r" % (slots,))
            if not slots or slots[0]["passed"] < 1 or slots[0]["name"] != "A":
                log("no board passed on slot A")
                return 1
            records_file = records
            code, records = call("/api/records?limit=1")
            log("GET /api/records -> %d %r" % (code, records))
            if code != 200 or records[0]["result"] != "pass" or records[0]["port"] != "COM1":
                return 1
            if records[0]["operator"] != "Müller" or not os.path.exists(records_file):
                log("the operator or the record file's UTF-8 name was not kept")
                return 1
            token = open(token_file).read().strip()
            refused, _ = call("/api/stop-all", "POST")
            done, _ = call("/api/stop-all", "POST", token)
            log("POST /api/stop-all -> %d without the token, %d with it" % (refused, done))
            if refused != 401 or done != 200:
                return 1
            deadline = time.time() + 10
            while time.time() < deadline and call("/api/slots")[1][0]["running"]:
                time.sleep(0.2)
            if call("/api/slots")[1][0]["running"]:
                log("slot A did not stop")
                return 1
            return 0
        finally:
            wine.kill_server()
            if station:
                try:
                    station.wait(10)
                except subprocess.TimeoutExpired:
                    station.kill()
            close_device(device)


def command_answers(wine, opts):
    """The window program's command line: answered on the standard handles,
    no window (DISPLAY is unset, so opening one would fail)."""
    with tempfile.TemporaryDirectory() as workdir:
        checks = [
            (["--version"], 0, lambda out, err: out == "%s %s\n" % (opts.program, opts.version)),
            (["--help"], 0, lambda out, err: "QMB_TRACE" in out and "ports.conf" in out
             and "--version" in out),
            (["--no-such-option"], 2, lambda out, err: out == "" and "--no-such-option" in err),
        ]
        try:
            for args, want, good in checks:
                paths = [os.path.join(workdir, name) for name in ("stdout", "stderr")]
                with open(paths[0], "wb") as out, open(paths[1], "wb") as err:
                    code = subprocess.run([wine.wine64, opts.exe] + args, env=wine.env,
                                          stdout=out, stderr=err, timeout=60).returncode
                out, err = (open(p, "rb").read().decode(errors="replace") for p in paths)
                log("%s %s -> %d %r %r" % (opts.program, " ".join(args), code, out[:60], err[:80]))
                if code != want or not good(out, err):
                    log("expected exit code %d and other output" % want)
                    return 1
            return 0
        finally:
            wine.kill_server()


def forward_driver_output(driver, device):
    """Echoes the driver's lines; answers its "@sim" requests. Runs on its own
    thread: the pipe may stay open after the driver has ended, held by a Wine
    process that inherited it."""
    for raw in driver.stdout:
        line = raw.decode(errors="replace").rstrip("\r\n")
        print("    " + line, flush=True)
        if line.startswith("@sim "):
            if isinstance(device, Simulator):
                try:
                    answer = device.command(line[5:])
                except OSError as error:
                    answer = "error %s" % error
            else:
                answer = "error no simulator on COM1"
            print("    -> " + answer, flush=True)
            driver.stdin.write((answer + "\n").encode())
            driver.stdin.flush()


def command_gui(wine, opts):
    kind, sim_args = scenario_device(opts.scenarios, opts.name)
    size, dpi = scenario_display(opts.scenarios, opts.name)
    failures_dir = os.path.join(wine.root, "failures")
    with tempfile.TemporaryDirectory() as workdir:
        xvfb = Xvfb(size)
        device = app = None
        try:
            device = open_device(kind, sim_args, opts.devsim, workdir)
            if dpi != 96:
                wine.set_dpi(dpi)
            wine.map_com1(device.path if device else "")
            wine.env["DISPLAY"] = xvfb.display
            app_log = open(os.path.join(workdir, "app.log"), "wb")
            started = time.time()
            wine.start_server()
            files = {}
            if opts.window_class:
                files = {"QMB_TEST_DIR": windows_path(workdir),
                         "QMB_TRACE": windows_path(os.path.join(workdir, "trace.txt"))}
            app = wine.start([opts.app], env=files, stdout=app_log, stderr=subprocess.STDOUT)
            driver_args = [opts.driver, windows_path(opts.scenarios), opts.name]
            if opts.screenshot:
                driver_args.append("--keep-open")
            if opts.window_class:
                driver_args.append("--class=" + opts.window_class)
            driver = wine.start(driver_args, env=files, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            reader = threading.Thread(target=forward_driver_output, args=(driver, device),
                                      daemon=True)
            reader.start()
            try:
                driver_code = driver.wait(DRIVER_TIMEOUT)
            except subprocess.TimeoutExpired:
                driver.kill()
                driver_code = "timeout"
            reader.join(2)
            if driver_code != 0:
                os.makedirs(failures_dir, exist_ok=True)
                shot = os.path.join(failures_dir, opts.name + ".png")
                try:
                    xvfb.screenshot(shot)
                except (OSError, subprocess.SubprocessError):
                    shot = "(no screenshot)"
                log("scenario failed (driver: %s); screen saved to %s" % (driver_code, shot))
                if isinstance(device, Simulator):
                    with open(device.log_path, errors="replace") as f:
                        sys.stdout.write(f.read()[-4000:])
                return 1
            if opts.screenshot:
                time.sleep(0.5)  # a few lamp ticks
                xvfb.screenshot(opts.screenshot,
                                None if opts.window_class else (302, 191, 420, 387))
                log("screenshot saved to " + opts.screenshot)
                return 0
            try:
                app_code = app.wait(15)
            except subprocess.TimeoutExpired:
                log("%s did not end after its window was closed" % os.path.basename(opts.app))
                return 1
            if app_code != 0:
                log("%s ended with exit code %d" % (os.path.basename(opts.app), app_code))
                return 1
            log("%s passed in %.1f s" % (opts.name, time.time() - started))
            return 0
        finally:
            if app is not None and app.poll() is None:
                app.kill()
            wine.kill_server()
            if dpi != 96:
                wine.set_dpi(96)
            wine.env.pop("DISPLAY", None)
            close_device(device)
            xvfb.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--wine", default="/usr/lib/wine/wine64")
    parser.add_argument("--devsim", default="")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("prefix")
    run = sub.add_parser("run")
    run.add_argument("--device", default="none", choices=["none", "silent", "echo", "sim"])
    run.add_argument("--timeout", type=float, default=300)
    run.add_argument("exe")
    run.add_argument("args", nargs=argparse.REMAINDER)
    cli = sub.add_parser("cli")
    cli.add_argument("exe")
    station = sub.add_parser("station")
    station.add_argument("exe")
    answers = sub.add_parser("answers")
    answers.add_argument("--program", default="qmb-edit")
    answers.add_argument("exe")
    answers.add_argument("version")
    gui = sub.add_parser("gui")
    gui.add_argument("--app", required=True)
    gui.add_argument("--driver", required=True)
    gui.add_argument("--scenarios", required=True)
    gui.add_argument("--screenshot")
    gui.add_argument("--window-class", default="")
    gui.add_argument("name")
    opts = parser.parse_args()

    wine = Wine(opts.build_dir, opts.wine)
    try:
        if opts.command == "prefix":
            wine.make_prefix()
            return 0
        if opts.command == "run":
            return command_run(wine, opts)
        if opts.command == "cli":
            return command_cli(wine, opts)
        if opts.command == "answers":
            return command_answers(wine, opts)
        if opts.command == "station":
            return command_station(wine, opts)
        return command_gui(wine, opts)
    except (RuntimeError, subprocess.TimeoutExpired) as error:
        log("error: %s" % error)
        return 1


if __name__ == "__main__":
    sys.exit(main())
