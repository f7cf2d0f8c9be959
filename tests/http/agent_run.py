"""Starts the test agent (the command after "--", e.g. wine http_agent.exe) on a free loopback
port, waits until it serves, and always stops it again. Also a Prometheus server that scrapes a
target, for the scrape tests. And the checks of the end-to-end scripts: one line per check, a
summary line, the exit code."""
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request


failures, passes = [], []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    (passes if ok else failures).append(what)


def summary():
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def agent_command(argv):
    if "--" not in argv:
        sys.exit("usage: %s [options] -- AGENT_COMMAND..." % argv[0])
    i = argv.index("--")
    return argv[1:i], argv[i + 1:]


class Served:
    """The HTTP interface of an agent on 127.0.0.1:port."""

    def __init__(self, port):
        self.port = port

    def get(self, path, headers=None, timeout=10):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            c.request("GET", path, headers=headers or {})
            r = c.getresponse()
            return r.status, dict(r.getheaders()), r.read()
        finally:
            c.close()

    def get_json(self, path, headers=None):
        status, hdrs, body = self.get(path, headers)
        return status, json.loads(body.decode("utf-8"))

    def alive(self):
        return True


class Agent(Served):
    def __init__(self, command, env=None, address=None, wait=True):
        super().__init__(free_port())
        self.address = address or "127.0.0.1:%d" % self.port
        e = dict(os.environ)
        e.update({"PXR_HTTP_ADDRESS": self.address, "PXR_SAMPLE_INTERVAL": "1",
                  "PXR_HTTP_READ_TIMEOUT": "2"})
        e.update(env or {})
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=self.err, env=e)
        if wait:
            self.wait_serving()

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode("utf-8", "replace")

    def wait_serving(self, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("agent ended early (%s): %s" % (self.proc.returncode, self.stderr()))
            try:
                status, _, _ = self.get("/healthz", timeout=2)
                if status in (200, 401):
                    return
            except OSError:
                pass
            time.sleep(0.2)
        raise RuntimeError("agent not serving after %d s: %s" % (timeout, self.stderr()))

    def wait_stderr(self, text, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.stderr():
                return True
            time.sleep(0.2)
        return False

    def alive(self):
        return self.proc.poll() is None

    def stop(self, timeout=30):
        """Asks the agent to end; returns its exit code. Kills it when it does not end in time."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
                return None
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        if self.proc.poll() is None:
            self.proc.kill()


def win(path):
    """The Wine path of a host path (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    """A file's text; empty when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def rows(agent, table):
    """The table's rows as the agent serves them; none when it does not answer."""
    try:
        status, j = agent.get_json("/v1/tables/%s/rows" % table)
    except (OSError, ValueError):  # an agent that ended: the checks say so
        return []
    return j.get("rows", []) if status == 200 else []


def wait_rows(agent, table, want, timeout=90):
    """The table's rows once want(rows) holds (or the last rows at the timeout)."""
    deadline, got = time.time() + timeout, []
    while time.time() < deadline and agent.alive():
        got = rows(agent, table)
        if want(got):
            break
        time.sleep(1)
    return got


def query(port, expr):
    """Prometheus's query API: the answer as JSON."""
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": expr}))
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.loads(r.read().decode("utf-8"))


class Prometheus:
    """A Prometheus server scraping one target every second, in a folder of its own."""

    def __init__(self, executable, target):
        self.work = tempfile.mkdtemp(prefix="qmx_prom_")
        self.port = free_port()
        config = os.path.join(self.work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: qmx\n    static_configs:\n"
                    "      - targets: ['%s']\n" % target)
        self.log = os.path.join(self.work, "prometheus.log")
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen([executable, "--config.file=" + config,
                                          "--storage.tsdb.path=" + os.path.join(self.work, "data"),
                                          "--web.listen-address=127.0.0.1:%d" % self.port],
                                         stdout=log, stderr=subprocess.STDOUT)

    def wait_value(self, expr, timeout=90):
        """The first series' value once Prometheus has one; None, and the last answer, if not."""
        deadline, last = time.time() + timeout, None
        while time.time() < deadline and self.proc.poll() is None:
            try:
                last = query(self.port, expr)
                res = last.get("data", {}).get("result", [])
                if res:
                    return res[0]["value"][1], last
            except (OSError, ValueError):
                pass
            time.sleep(0.5)
        return None, last

    def tail(self):
        with open(self.log, "rb") as f:
            return f.read()[-3000:].decode("utf-8", "replace")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        shutil.rmtree(self.work, ignore_errors=True)
