"""Starts the test agent (the command after "--", e.g. wine http_agent.exe) on a free loopback
port, waits until it serves, and always stops it again."""
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def agent_command(argv):
    if "--" not in argv:
        sys.exit("usage: %s [options] -- AGENT_COMMAND..." % argv[0])
    i = argv.index("--")
    return argv[1:i], argv[i + 1:]


class Agent:
    def __init__(self, command, env=None, address=None, wait=True):
        self.port = free_port()
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
