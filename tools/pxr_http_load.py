#!/usr/bin/env python3
"""Bounded load run against the framework's monitoring server (loopback only).

  tools/pxr_http_load.py --port 19610 --path /metrics --requests 2000 --concurrency 4
  tools/pxr_http_load.py --start -- wine build/win/test_bin/http_agent.exe      # starts the test agent

Sends a fixed number of GET requests over keep-alive connections, then prints requests per second,
latency percentiles and errors. With --min-rps / --max-p99-ms it exits 1 when a target is missed.
"""
import argparse
import http.client
import os
import sys
import threading
import time


def run(host, port, path, total, concurrency, token):
    lock = threading.Lock()
    latencies, errors = [], []
    remaining = [total]
    headers = {"Authorization": "Bearer " + token} if token else {}

    def worker():
        conn = None
        while True:
            with lock:
                if remaining[0] <= 0:
                    break
                remaining[0] -= 1
            t0 = time.perf_counter()
            try:
                if conn is None:
                    conn = http.client.HTTPConnection(host, port, timeout=30)
                conn.request("GET", path, headers=headers)
                r = conn.getresponse()
                r.read()
                ok = r.status == 200
                if r.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = None
            except (OSError, http.client.HTTPException) as e:
                ok = False
                r = e
                if conn is not None:
                    conn.close()
                conn = None
            dt = time.perf_counter() - t0
            with lock:
                if ok:
                    latencies.append(dt)
                else:
                    errors.append(getattr(r, "status", repr(r)))
        if conn is not None:
            conn.close()

    threads = [threading.Thread(target=worker) for _ in range(concurrency)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    latencies.sort()

    def pct(p):
        if not latencies:
            return float("nan")
        return latencies[min(len(latencies) - 1, int(p / 100.0 * len(latencies)))] * 1000

    return {"path": path, "requests": total, "ok": len(latencies), "errors": len(errors),
            "first_errors": errors[:5], "seconds": elapsed, "rps": total / elapsed if elapsed else 0,
            "p50_ms": pct(50), "p90_ms": pct(90), "p99_ms": pct(99),
            "max_ms": latencies[-1] * 1000 if latencies else float("nan")}


def main():
    argv = sys.argv[1:]
    command = []
    if "--" in argv:
        i = argv.index("--")
        argv, command = argv[:i], argv[i + 1:]
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, default=19610)
    p.add_argument("--path", action="append", help="path to load (repeatable; default /metrics)")
    p.add_argument("--requests", type=int, default=2000)
    p.add_argument("--concurrency", type=int, default=4)
    p.add_argument("--token", default=os.environ.get("PXR_HTTP_TOKEN", ""))
    p.add_argument("--start", action="store_true", help="start the agent given after -- on a free port")
    p.add_argument("--min-rps", type=float, default=0)
    p.add_argument("--max-p99-ms", type=float, default=0)
    o = p.parse_args(argv)
    paths = o.path or ["/metrics"]
    if o.concurrency < 1 or o.concurrency > 15 or o.requests < 1 or o.requests > 1000000:
        sys.exit("concurrency 1 to 15 (the server takes 16 connections) and 1 to 1000000 requests")

    agent = None
    if o.start:
        if not command:
            sys.exit("--start needs the agent command after --")
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "http"))
        from agent_run import Agent
        agent = Agent(command, env={"PXR_SAMPLE_INTERVAL": "5"})
        o.port = agent.port
        time.sleep(1)  # the first sampling round
    missed = False
    try:
        for path in paths:
            r = run("127.0.0.1", o.port, path, o.requests, o.concurrency, o.token)
            print("%(path)s: %(requests)d requests in %(seconds).2f s = %(rps).0f/s, "
                  "p50 %(p50_ms).2f ms, p90 %(p90_ms).2f ms, p99 %(p99_ms).2f ms, max %(max_ms).2f ms, "
                  "%(errors)d errors %(first_errors)s" % r, flush=True)
            if r["errors"] or (o.min_rps and r["rps"] < o.min_rps) or (o.max_p99_ms and r["p99_ms"] > o.max_p99_ms):
                missed = True
    finally:
        if agent is not None:
            agent.stop()
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
