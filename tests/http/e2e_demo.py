"""The demo end to end: scripts/demo.sh runs the real agent (counter service, PDH stand-in from the
test Wine prefix, sample snapshot) on a free port. The summary appears and repeats each round; the
exposition passes promtool; counter-backed values are the snapshot's, as perfmon would show them,
also through a real Prometheus; every counter-backed attribute's HELP names its counter.

  e2e_demo.py --root SOURCE_DIR [--prometheus P --promtool T]
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

from agent_run import check, failures, summary

from agent_run import Prometheus, Served, free_port, wait_rows

HELP_COUNTER = re.compile(r'^Performance object "(.*)", counter "(.*)", unit [^;]+; ')
SERIES = re.compile(r'^([a-z_:][a-z0-9_:]*)(\{.*\})? (\S+)$')
LABEL = re.compile(r'([a-z_][a-z0-9_]*)="((?:[^"\\]|\\.)*)"')
# Tables whose rows come from performance counters (the counter service or the agent's own reader).
COUNTER_SOURCES = ("SOURCE_COUNTER_SERVICE", "SOURCE_OWN_COUNTERS")


def snapshot(path):
    """(object, instance, counter) -> value text, names in lower case as PDH matches them."""
    values = {}
    with open(path, encoding="utf-8-sig") as f:
        for line in f:
            parts = line.rstrip("\r\n").split("\t")
            if line.startswith("#") or len(parts) != 4:
                continue
            values[tuple(p.lower() for p in parts[:3])] = parts[3].strip()
    return values


def counter_tables(catalogue):
    with open(catalogue, encoding="utf-8") as f:
        text = f.read()
    return {m.group(1) for m in re.finditer(r"QMX_TABLE\(\s*\d+,\s*\w+,\s*(\w+),[^\n]*?(\w+),\s*\d+,\s*\d+,$", text, re.M)
            if m.group(2) in COUNTER_SOURCES}


def exposition(text):
    """HELP texts and series: name -> [(labels dict, value)]."""
    helps, series = {}, {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name, _, h = line[7:].partition(" ")
            helps[name] = h.replace("\\\\", "\\")
        elif line and not line.startswith("#"):
            m = SERIES.match(line)
            if m:
                labels = dict(LABEL.findall(m.group(2) or ""))
                series.setdefault(m.group(1), []).append((labels, m.group(3)))
    return helps, series


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--prometheus", required=True)
    p.add_argument("--promtool", required=True)
    opts = p.parse_args()

    work = tempfile.mkdtemp(prefix="qmx_demo_")
    port = free_port()
    env = dict(os.environ, PXR_HTTP_ADDRESS="127.0.0.1:%d" % port, PXR_SAMPLE_INTERVAL="3",
               QMX_DEMO_DIR=os.path.join(work, "demo"))
    out_path = os.path.join(work, "demo.out")
    out = open(out_path, "wb")
    demo = subprocess.Popen(["bash", os.path.join(opts.root, "scripts", "demo.sh"), "--no-build"],
                            stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env,
                            start_new_session=True)

    def said():
        with open(out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    try:
        deadline = time.time() + 240
        while time.time() < deadline and said().count("== sampling round") < 2 and demo.poll() is None:
            time.sleep(0.5)
        text = said()
        check(text.count("== sampling round") >= 2, "the demo's summary appears and repeats each round")
        check("demo: detected  Exchange 2010, SP1; roles: Mailbox ClientAccess HubTransport" in text,
              "the demo prints the release, service pack and roles")
        check(re.search(r"^MSEDB +2 ", text, re.M) is not None, "the summary lists MSEDB with its rows")

        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=30) as r:
            body = r.read()
        lint = subprocess.run([opts.promtool, "check", "metrics"], input=body,
                              capture_output=True, timeout=60)
        check(lint.returncode == 0, "promtool check metrics accepts the agent's exposition %s"
              % (lint.stdout + lint.stderr).decode("utf-8", "replace").strip()[:2000])

        snap = snapshot(os.path.join(opts.root, "resources", "pdh_snapshot_demo.tsv"))
        helps, series = exposition(body.decode("utf-8"))
        want = snap[("msexchange database", "information store", "database cache % hit")]
        got = [v for labels, v in series.get("qmx_msedb_cachehit", [])
               if labels.get("dbname") == "Information Store"]
        check(got and float(got[0]) == float(want),
              "qmx_msedb_cachehit is the snapshot's Database Cache %% Hit %s (got %s)" % (want, got))

        # Every family of a counter-backed table names its counter in HELP, and that counter is one
        # the PDH stand-in serves; other attributes (the agent's own deltas) say what they are.
        tables = counter_tables(os.path.join(opts.root, "tables", "catalogue.def"))
        objects = {(o, c) for (o, _, c) in snap}
        missing, unknown, named = [], [], 0
        for name, h in sorted(helps.items()):
            t = re.match(r"qmx_([a-z0-9]+)_", name)
            if not t or t.group(1).upper() not in tables:
                continue
            m = HELP_COUNTER.match(h)
            if m:
                named += 1
                if (m.group(1).lower(), m.group(2).lower()) not in objects:
                    unknown.append(name)
            elif h.startswith("Table "):
                missing.append(name)
        check(named > 100 and not missing, "HELP names the counter of every counter-backed attribute "
              "(%d do; without: %s)" % (named, missing))
        check(not unknown, "every counter named in HELP is in the snapshot (not: %s)" % unknown)

        with Prometheus(opts.prometheus, "127.0.0.1:%d" % port) as prom:
            expr = 'qmx_msedb_cachehit{job="qmx",dbname="Information Store"}'
            found, last = prom.wait_value(expr)
            check(found is not None and float(found) == float(want),
                  "Prometheus holds %s = %s, the perfmon value (got %s, last answer %s)"
                  % (expr, want, found, last))
            if failures:
                sys.stdout.write(prom.tail())
        # The background jobs with the shipped mail programs: qmxmbstat.exe through the PowerShell
        # stand-in, and qmxews.exe against the test EWS server when the demo could start it.
        served = Served(port)
        mailboxes = wait_rows(served, "MSEMBXD", lambda r: len(r) >= 3, 60)
        check([m["mbxname"] for m in mailboxes] == ["Administrator", "Ann Archer", "Bob Baker"]
              and mailboxes[0]["mbxsize"] == 5320,
              "MSEMBXD holds the demo's mailboxes through qmxmbstat.exe (got %s)" % mailboxes)
        folders = wait_rows(served, "MSEPFLDD", lambda r: len(r) >= 2, 30)
        check(len(folders) == 2, "MSEPFLDD holds the demo's public folders (got %s)" % folders)
        if "demo: EWS " in said():
            reach = wait_rows(served, "MSEREACH", lambda r: len(r) >= 2, 120)
            check([(r["trgeaddrs"], r["reachable"]) for r in reach]
                  == [("target.one@qmxtest.local", 1), ("TARGET.TWO@QMXTEST.LOCAL", 0)]
                  and 350 <= reach[0]["resptime"] <= 500,
                  "MSEREACH: the first target answered in about 4 s through qmxews.exe, the second "
                  "did not (got %s)" % reach)
        check(demo.poll() is None, "the demo still runs")
    finally:
        # The watcher and the script end on SIGTERM; the script then stops the agent in order.
        if demo.poll() is None:
            children = subprocess.run(["ps", "-o", "pid=,comm=", "--ppid", str(demo.pid)],
                                      capture_output=True, text=True).stdout.splitlines()
            for line in children:
                pid, _, comm = line.strip().partition(" ")
                if comm.strip().startswith("python"):
                    os.kill(int(pid), signal.SIGTERM)
            demo.send_signal(signal.SIGTERM)
        try:
            rc = demo.wait(60)
        except subprocess.TimeoutExpired:
            os.killpg(demo.pid, signal.SIGKILL)
            rc = demo.wait(10)
        out.close()
        check("demo: stopping the agent" in said() and rc == 0,
              "the demo stops the agent at the end and exits with 0 (exit %s)" % rc)
        if failures:
            sys.stdout.write(said()[-4000:])
        shutil.rmtree(work, ignore_errors=True)

    return summary()


if __name__ == "__main__":
    sys.exit(main())
