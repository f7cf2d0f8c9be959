"""The demo's view of a running agent: what it detected (from its trace), then a summary of every
table after each sampling round, read from /metrics, until Ctrl-C (or once with --once).

  demo_watch.py --url http://127.0.0.1:19610 --trace-dir build/demo/logs [--roles "..."] [--once]
"""
import argparse
import glob
import re
import signal
import sys
import time
import urllib.request

RELEASES = {"8": "Exchange 2007", "14": "Exchange 2010"}
SERIES = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{.*\})? (\S+)$')
TABLE_LABEL = re.compile(r'table="([^"]*)"')


def get(url, timeout=30):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.read().decode("utf-8", "replace")


def parse(text):
    """Families in order: name -> [(labels, value)], and HELP texts."""
    families, helps = {}, {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name, _, help_text = line[7:].partition(" ")
            helps[name] = help_text
        elif line and not line.startswith("#"):
            m = SERIES.match(line)
            if m:
                families.setdefault(m.group(1), []).append((m.group(2) or "", m.group(3)))
    return families, helps


def per_table(families, name):
    return {TABLE_LABEL.search(l).group(1): v for l, v in families.get(name, []) if TABLE_LABEL.search(l)}


def detected(trace_dir):
    """Release and service pack as the agent's trace reports them."""
    text = ""
    for path in sorted(glob.glob(trace_dir + "/*.log")):
        with open(path, encoding="utf-8", errors="replace") as f:
            text += f.read()
    major = re.findall(r"Exchange Server Major Version: (\d+)", text)
    minor = re.findall(r"Exchange Server Minor Version(?: is)? : ?(\d+)", text)
    release = RELEASES.get(major[-1], "major version " + major[-1]) if major else "not detected"
    sp = ("SP" + minor[-1] if minor[-1] != "0" else "no service pack") if minor else "unknown"
    return release, sp


def summary(families, when):
    rows = per_table(families, "qmx_table_rows")
    failed = per_table(families, "qmx_table_failed_samples_total")
    duration = per_table(families, "qmx_table_sample_duration_seconds")
    tables = list(failed)  # every registered table, in registration order
    total = sum(int(v) for v in rows.values())
    bad = [t for t in tables if t not in rows]
    out = ["", "== sampling round %s: %d tables, %d rows%s ==" % (
        when, len(tables), total, (", %d without a good sample" % len(bad)) if bad else "")]
    out.append("%-10s %5s %7s  %s" % ("table", "rows", "sample", "values of the first row"))
    for t in tables:
        prefix = "qmx_" + t.lower() + "_"
        shown = []
        for name, series in families.items():
            if name.startswith(prefix) and series and len(shown) < 3:
                shown.append("%s=%s" % (name[len(prefix):], series[0][1]))
        took = ("%.2fs" % float(duration[t])) if t in duration else "-"
        count = rows.get(t, "failed" if int(failed.get(t, "0")) else "-")
        out.append("%-10s %5s %7s  %s" % (t, count, took, " ".join(shown)))
    return "\n".join(out)


def metrics(url, patience):
    """The exposition; retried for `patience` seconds while the agent does not answer."""
    deadline = time.time() + patience
    while True:
        try:
            return parse(get(url + "/metrics"))[0]
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.5)


def progress(families):
    """Per table what moves when a sample ends (the first entry is None before any sample)."""
    keys = ("qmx_table_sample_duration_seconds", "qmx_table_last_success_timestamp_seconds",
            "qmx_table_failed_samples_total", "qmx_table_skipped_rounds_total")
    maps = [per_table(families, k) for k in keys]
    return {t: tuple(m.get(t) for m in maps) for t in maps[2]}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--trace-dir", required=True)
    p.add_argument("--roles", default="")
    p.add_argument("--interval", type=float, default=30)
    p.add_argument("--once", action="store_true")
    a = p.parse_args()

    release, sp = None, None
    before = {}  # progress at the previous summary
    while True:
        # A round is over when every table has ended a sample since the previous summary (or
        # the interval has passed: a table may still be busy).
        deadline = time.time() + max(a.interval, 5)
        while True:
            families = metrics(a.url, 15 if before else 0)
            now = progress(families)
            if now and all(now[t][0] is not None and now[t] != before.get(t) for t in now) \
                    or time.time() > deadline:
                break
            time.sleep(0.5)
        if release is None:
            release, sp = detected(a.trace_dir)
            print("demo: detected  %s, %s; roles: %s" % (release, sp, a.roles or "none"), flush=True)
        print(summary(families, time.strftime("%H:%M:%S")), flush=True)
        if a.once:
            return 0
        before = now


if __name__ == "__main__":
    # Ctrl-C or a TERM: the demo script stops the agent.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
