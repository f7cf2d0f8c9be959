"""A real Prometheus scrapes the test agent: promtool accepts the exposition, and the query API
finds a series with the value the table holds."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

from agent_run import Agent, agent_command, free_port

failures, passes = [], []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    (passes if ok else failures).append(what)


def query(port, expr):
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": expr}))
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.loads(r.read().decode("utf-8"))


def main():
    own, command = agent_command(sys.argv)
    p = argparse.ArgumentParser()
    p.add_argument("--prometheus", default="prometheus")
    p.add_argument("--promtool", default="promtool")
    opts = p.parse_args(own)

    work = tempfile.mkdtemp(prefix="qmx_prom_")
    prom = None
    try:
        with Agent(command) as agent:
            # Wait for the scheduler's first round, then lint what a scrape gets.
            deadline = time.time() + 30
            text = b""
            while time.time() < deadline and b'qmx_table_rows{table="QMXHTB"}' not in text:
                text = agent.get("/metrics")[2]
                time.sleep(0.2)
            lint = subprocess.run([opts.promtool, "check", "metrics"], input=text,
                                  capture_output=True, timeout=60)
            check(lint.returncode == 0, "promtool check metrics accepts the exposition %s"
                  % (lint.stdout + lint.stderr).decode("utf-8", "replace").strip())

            port = free_port()
            config = os.path.join(work, "prometheus.yml")
            with open(config, "w") as f:
                f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                        "scrape_configs:\n  - job_name: qmx\n    static_configs:\n"
                        "      - targets: ['127.0.0.1:%d']\n" % agent.port)
            log = open(os.path.join(work, "prometheus.log"), "wb")
            prom = subprocess.Popen([opts.prometheus, "--config.file=" + config,
                                     "--storage.tsdb.path=" + os.path.join(work, "data"),
                                     "--web.listen-address=127.0.0.1:%d" % port],
                                    stdout=log, stderr=subprocess.STDOUT)
            expr = 'qmx_qmxhta_value{job="qmx",name="alpha",label="one",originnode="hostA:EX"}'
            found, last = None, None
            deadline = time.time() + 90
            while time.time() < deadline and found is None:
                if prom.poll() is not None:
                    break
                try:
                    last = query(port, expr)
                    res = last.get("data", {}).get("result", [])
                    if res:
                        found = res[0]["value"][1]
                except (OSError, ValueError):
                    pass
                time.sleep(0.5)
            check(found == "-5", "Prometheus holds %s = -5 (got %s, last answer %s)" % (expr, found, last))
            try:
                up = query(port, 'up{job="qmx"}')["data"]["result"]
                check(up and up[0]["value"][1] == "1", "the scrape target is up")
                ete = query(port, 'qmx_qmxhta_big{originnode="hostC:EX"}')["data"]["result"]
                check(ete and ete[0]["metric"].get("name") == "\u00e9t\u00e9" and ete[0]["value"][1] == "42",
                      "UTF-8 label and 64-bit value arrive intact")
                marker = query(port, 'qmx_qmxhta_avail{originnode="hostB:EX"}')["data"]["result"]
                check(marker == [], "the not-available field has no series")
            except (OSError, ValueError, KeyError) as e:
                check(False, "query API: %s" % e)
            check(agent.alive(), "agent still serving")
    finally:
        if prom is not None:
            prom.terminate()
            try:
                prom.wait(20)
            except subprocess.TimeoutExpired:
                prom.kill()
                prom.wait(10)
        if failures and os.path.exists(os.path.join(work, "prometheus.log")):
            with open(os.path.join(work, "prometheus.log"), "rb") as f:
                sys.stdout.write(f.read()[-3000:].decode("utf-8", "replace"))
        shutil.rmtree(work, ignore_errors=True)

    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
