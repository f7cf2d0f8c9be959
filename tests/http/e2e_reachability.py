"""The real agent end to end with the reachability job on: its reachability thread starts the test
tool in the place of qmxews.exe (copied into the parent folder of the log folder) for two targets,
writes "MailBox_Reachability_Results.log", and GET /v1/tables/MSEREACH/rows serves its records.
The directory is down (nothing listens on 127.0.0.4): the sender is user id "@" domain.

  e2e_reachability.py --bin AGENT_DIR --tool TEST_TOOL
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from agent_run import Agent

PASSWORD = "Reach-e2e.2026!"
failures, passes = [], []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    (passes if ok else failures).append(what)


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def delete_keys():
    subprocess.run(["wine", "reg", "delete", r"HKLM\SOFTWARE\Orvel", "/f"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def rows(agent, table):
    try:
        status, j = agent.get_json("/v1/tables/%s/rows" % table)
    except (OSError, ValueError):
        return []
    return j.get("rows", []) if status == 200 else []


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bin", required=True)
    p.add_argument("--tool", required=True)
    opts = p.parse_args()

    work = tempfile.mkdtemp(prefix="qmx_e2e_reach_")
    logs, config = os.path.join(work, "logs"), os.path.join(work, "config")
    for d in (logs, config):
        os.makedirs(d)
    shutil.copy(opts.tool, os.path.join(work, "qmxews.exe"))
    with open(os.path.join(work, "qmxews_answer_first@qmxtest.local.txt"), "w") as f:
        f.write("SentTime: 01/05/2026  10:00:00\nReceivedTime: 01/05/2026  10:00:05\nName: Target One\n")
    with open(os.path.join(work, "qmxews_answer_second@qmxtest.local.txt"), "w") as f:
        f.write("SentTime: 01/05/2026  10:00:00\n")
    with open(os.path.join(work, "qmxews_expect.txt"), "w") as f:
        f.write("-getmrt\nqmxprobe\n%s\nqmxtest\nEXMB01\nqmxprobe@qmxtest\n*\n"
                "30000\n2010\nNO\n" % PASSWORD)
    os.chdir(opts.bin)
    enciphered = subprocess.run(["wine", "qmxpasswd.exe"], input=PASSWORD + "\n", capture_output=True,
                                text=True, check=True).stdout.strip()
    host = socket.gethostname().split(".")[0]
    with open(os.path.join(config, host[:15] + "_ex.cfg"), "w") as f:
        f.write("SECTION=EXCH\nexchange_interval=30\nexchange_server=EXMB01\nexchange_domain=qmxtest\n"
                "exchange_user=qmxprobe\nexchange_password=%s\nexchange_reach_enable=1\n"
                "exchange_reach_interval=2\nexchange_reach_threshold=30\n"
                "exchange_targets=first@qmxtest.local;;second@qmxtest.local;\n"
                "exchange_mailbox_enable=0\nexchange_topology_interval=300\n" % enciphered)
    trace = win(logs) + "\\host_qmx_agent_e2e-.log"
    env = {"QMX_AD_SERVER": "127.0.0.4", "QMX_AD_BIND": "simple", "PXR_SAMPLE_INTERVAL": "2",
           "VORTA_SIT_PATH": win(config), "VORTA_LOG_PATH": win(logs), "JBX_RAS1_LOG": trace,
           "JBX_RAS1": "ERROR (UNIT:qmxmailbox ALL)"}
    agent = None
    try:
        delete_keys()
        agent = Agent(["wine", "qmx_agent.exe", "TEST"], env=env)
        deadline, got = time.time() + 120, []
        while time.time() < deadline and agent.alive():
            got = rows(agent, "MSEREACH")
            if len(got) >= 2:
                break
            time.sleep(1)
        by = {r.get("trgeaddrs"): r for r in got}
        first, second = by.get("first@qmxtest.local", {}), by.get("SECOND@QMXTEST.LOCAL", {})
        check(len(got) == 2 and first.get("reachable") == 1 and first.get("resptime") == 500 and
              first.get("runtime") == "1260105100005000" and first.get("trgserver") == "unknown",
              "MSEREACH: the first target answered after 5 s, 500 hundredths (got %s)" % got)
        check(second.get("reachable") == 0 and second.get("resptime") == 0 and
              second.get("runtime") == "1260105100000000" and second.get("trgserver") == "unknown",
              "MSEREACH: the second target unanswered, upper-cased, with its send time (got %s)" % second)
        results = read(os.path.join(logs, "MailBox_Reachability_Results.log"))
        check(results == "unknown;first@qmxtest.local;Y;5.000000;1260105100005000\n"
                         "unknown;SECOND@QMXTEST.LOCAL;N;0.00;1260105100000000\n",
              "the results file holds the two records:\n%s" % results)
        check("HqMain: Reachability Thread started" in agent.stderr(),
              "the agent thread starts the reachability thread")
        errors = read(os.path.join(work, "qmxews_errors.log"))
        check(errors == "" and "start first@qmxtest.local" in read(os.path.join(work, "qmxews_calls.log")),
              "the tool got the agent's arguments and the plain password: %s" % errors[:500])
        traced = "".join(read(os.path.join(logs, n)) for n in os.listdir(logs))
        check("-getmrt qmxprobe XXXXX qmxtest EXMB01 qmxprobe@qmxtest" in traced,
              "the trace shows the command line with the password masked")
        check(PASSWORD not in traced and PASSWORD not in agent.stderr(),
              "the plain password is in no file of the log folder and not on standard error")
        check(agent.alive(), "the agent still runs")
    finally:
        if agent is not None:
            if agent.alive():
                agent.proc.send_signal(signal.SIGINT)
            rc = agent.stop()
            check(rc is not None, "the agent ends by itself after Ctrl-C (exit %s)" % rc)
            if failures:
                sys.stdout.write(agent.stderr()[-3000:])
                for name in os.listdir(logs):
                    if name.startswith("host_qmx"):
                        sys.stdout.write(read(os.path.join(logs, name))[-4000:])
        delete_keys()
        shutil.rmtree(work, ignore_errors=True)

    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
