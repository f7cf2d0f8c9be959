"""A real Prometheus scrapes the test agent: promtool accepts the exposition, and the query API
finds a series with the value the table holds."""
import argparse
import subprocess
import sys
import time

from agent_run import Agent, Prometheus, agent_command, check, failures, query, summary



def main():
    own, command = agent_command(sys.argv)
    p = argparse.ArgumentParser()
    p.add_argument("--prometheus", default="prometheus")
    p.add_argument("--promtool", default="promtool")
    opts = p.parse_args(own)

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

        with Prometheus(opts.prometheus, "127.0.0.1:%d" % agent.port) as prom:
            expr = 'qmx_qmxhta_value{job="qmx",name="alpha",label="one",originnode="hostA:EX"}'
            found, last = prom.wait_value(expr)
            check(found == "-5", "Prometheus holds %s = -5 (got %s, last answer %s)" % (expr, found, last))
            try:
                up = query(prom.port, 'up{job="qmx"}')["data"]["result"]
                check(up and up[0]["value"][1] == "1", "the scrape target is up")
                ete = query(prom.port, 'qmx_qmxhta_big{originnode="hostC:EX"}')["data"]["result"]
                check(ete and ete[0]["metric"].get("name") == "\u00e9t\u00e9" and ete[0]["value"][1] == "42",
                      "UTF-8 label and 64-bit value arrive intact")
                marker = query(prom.port, 'qmx_qmxhta_avail{originnode="hostB:EX"}')["data"]["result"]
                check(marker == [], "the not-available field has no series")
            except (OSError, ValueError, KeyError) as e:
                check(False, "query API: %s" % e)
            check(agent.alive(), "agent still serving")
            if failures:
                sys.stdout.write(prom.tail())

    return summary()


if __name__ == "__main__":
    sys.exit(main())
