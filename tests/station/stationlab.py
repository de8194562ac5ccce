"""Simulated fixtures for qmb-station: qmb-devsim slots on pseudo-terminals,
the station on them, and a headless Chromium on its page. Shared by the page
test, the screenshot, the demo and the benchmark; every process it starts is
stopped again (SIGTERM, then SIGKILL) when its owner is closed.
"""

import contextlib
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

IMAGE = "C0 C1 C2 C3 C4 C5 C6 C7\n"

# The limit of every wait for a condition, in seconds: sized for a sanitizer
# build on a busy two-core machine and a cold first start of Chromium. A
# wait ends as soon as its condition holds, so a quiet machine is no slower.
PATIENCE = 60

try:
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    # The page redraws a tile as it changes: an element found a moment ago
    # may be gone. A wait finds it afresh the next time round.
    REDRAWN = (NoSuchElementException, StaleElementReferenceException)
except ImportError:
    REDRAWN = ()


def wait_until(test, timeout=PATIENCE, step=0.05, what="condition"):
    """test() until it is true; its last value, or AssertionError after timeout s.
    An element of the page that is being redrawn counts as not yet."""
    end = time.monotonic() + timeout
    while True:
        try:
            value = test()
        except REDRAWN:
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(step)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop_process(proc, grace=5.0):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    return proc.returncode


class Sim:
    """One qmb-devsim on a fresh pseudo-terminal with a control socket."""

    def __init__(self, program, folder, name, args):
        self.link = os.path.join(folder, name + ".tty")
        self.control_path = os.path.join(folder, name + ".control")
        self.proc = subprocess.Popen(
            [program, "--link", self.link, "--control", self.control_path, *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()  # its terminal's path, once ready
        if not line.startswith("/"):
            raise RuntimeError("qmb-devsim did not start")

    def control(self, line):
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(PATIENCE)
            s.connect(self.control_path)
            s.sendall((line + "\n").encode())
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        text = answer.decode().strip()
        if not text.startswith("ok"):
            raise RuntimeError(f"qmb-devsim refused {line!r}: {text}")
        return text

    def close(self):
        with contextlib.suppress(Exception):
            self.control("quit")
        stop_process(self.proc, 3)
        for pipe in (self.proc.stdin, self.proc.stdout):
            with contextlib.suppress(Exception):
                pipe.close()


class Station:
    """qmb-station on a set of slots; port 0 picks a free one."""

    def __init__(self, program, folder, slots, args=(), port=0, token_file=None):
        self.program, self.folder, self.slots = program, folder, slots
        self.args = list(args)
        self.port = port or free_port()
        self.token_file = token_file or os.path.join(folder, "station.token")
        self.image = os.path.join(folder, "image.hex")
        with open(self.image, "w") as f:
            f.write(IMAGE)
        self.proc = None
        self.start()
        with open(self.token_file) as f:
            self.token = f.read().strip()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def start(self):
        cmd = [self.program, "--listen", f"127.0.0.1:{self.port}", "--token-file", self.token_file]
        if "--recipe" not in self.args:  # a recipe gives the image
            cmd += ["--section", "11", "--image", self.image]
        for name, link in self.slots:
            cmd += ["--slot", f"{name}={link}"]
        cmd += self.args
        if "--db" not in self.args:
            cmd += ["--db", "sqlite:" + os.path.join(self.folder, "records.sqlite")]
        self.err_path = os.path.join(self.folder, f"station-{time.monotonic_ns()}.err")
        self.err = open(self.err_path, "w")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=self.err)

        def ready():
            with open(self.err_path) as f:
                err = f.read()
            if self.proc.poll() is not None:
                raise RuntimeError("qmb-station ended: " + err)
            return "page at http://" in err
        wait_until(ready, PATIENCE, what="qmb-station to listen")

    def state(self):
        """"running", or how it ended and the last lines it wrote: for a
        failed wait's message."""
        if self.proc and self.proc.poll() is None:
            return "qmb-station running"
        with open(self.err_path, errors="replace") as f:
            lines = f.read().splitlines()
        # A sanitizer's report says what matters at its top: both accesses'
        # stacks, not the thread creations that end it.
        top = next((i for i, line in enumerate(lines) if "Sanitizer" in line), None)
        tail = lines[top:top + 60] if top is not None else lines[-8:]
        code = self.proc.returncode if self.proc else None
        return f"qmb-station ended ({code}): " + " | ".join(tail)

    def stop(self):
        code = stop_process(self.proc) if self.proc else None
        if self.proc:
            self.err.close()
        self.proc = None
        return code

    def get(self, path, token=None):
        req = urllib.request.Request(self.url.rstrip("/") + path)
        if token:
            req.add_header("Authorization", "Bearer " + token)
        with urllib.request.urlopen(req, timeout=PATIENCE) as res:
            return json.loads(res.read())

    def post(self, path, token=None):
        req = urllib.request.Request(self.url.rstrip("/") + path, data=b"", method="POST")
        req.add_header("Authorization", "Bearer " + (token or self.token))
        try:
            with urllib.request.urlopen(req, timeout=PATIENCE) as res:
                return res.status, json.loads(res.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def slot(self, name):
        return next(s for s in self.get("/api/slots") if s["name"] == name)


class Fixture:
    """Simulators and a station in a private folder; a context manager."""

    def __init__(self, build, count, station_args=(), sim_args=("--no-pacing", "--ignition-every", "1200"),
                 names=None, per_sim_args=None):
        self.build = build
        self.folder = tempfile.mkdtemp(prefix="qmb-station-fixture-")
        self.sims = []
        self.station = None
        try:
            names = names or [chr(ord("A") + i) for i in range(count)]
            for i, name in enumerate(names):
                extra = list(sim_args) + list((per_sim_args or {}).get(name, []))
                self.sims.append(Sim(os.path.join(build, "sim", "qmb-devsim"), self.folder, name, extra))
            self.station = Station(os.path.join(build, "station", "qmb-station"), self.folder,
                                   [(n, s.link) for n, s in zip(names, self.sims)], station_args)
        except BaseException:
            self.close()
            raise

    def sim(self, name):
        return self.sims[[s[0] for s in self.station.slots].index(name)]

    def close(self):
        if self.station:
            self.station.stop()
        for s in self.sims:
            s.close()
        subprocess.run(["rm", "-rf", self.folder], check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def chromium(width=1280, height=1000):
    """A headless Chromium (Debian's, with its chromedriver) through Selenium."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--window-size={width},{height}", "--lang=en-GB"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(PATIENCE)
    driver.set_script_timeout(PATIENCE)
    return driver


def pid_usage(pid):
    """(CPU seconds used so far, resident memory in KiB) of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = (int(fields[11]) + int(fields[12])) / ticks
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(re.findall(r"\d+", line)[0])
    return cpu, rss
