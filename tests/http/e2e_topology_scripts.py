"""The real agent end to end on an Exchange 2007 (release 3) server: its own topology thread reads
the test directory (slapd on 127.0.0.6, started and stopped here) and writes "topology_details.log",
which MSRTOPO serves; MSMBSCS and MSENLBS come from prepared script outputs through the PowerShell
and WScript stand-ins, first on the agent's search path.

  e2e_topology_scripts.py --root SOURCE_DIR --bin AGENT_DIR --standins STANDIN_DIR
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from agent_run import Agent, check, failures, read, summary, wait_rows, win

ADDRESS = "127.0.0.6"  # a loopback address no other test's directory uses
# The test organisation's servers with their role texts (the directory's role values 38, 2, 36,
# 6; none and 3 have no text).
TOPOLOGY = {
    ("EXMB01", "qmxtest", "Mailbox Role, Client Access Role, Hub Transport Role"),
    ("EXMB02", "qmxtest", "Mailbox Role"),
    ("EXCAS01", "qmxtest", "Client Access Role, Hub Transport Role"),
    ("EXUM01", "qmxtest", "MailBox Role, Client Access Role"),
    ("EXOLD01", "qmxtest", ""),
    ("EXODD01", "qmxtest", ""),
}
CLUSTER_OUTPUT = ("\r\nClusteredMailboxServerName : CMS1.corp.example.com\r\n"
                  "State                      : Online\r\n"
                  "OperationalMachines        : {NODE1 <Active, Quorum Owner>, NODE2}\r\n\r\n")
# Two nodes; the last status/name pair is this machine's.
NLB_OUTPUT = "0\r\nfirst\r\n1\r\nsecond.corp.example.com\r\nEnd of file\r\n"
# The keys this test writes; a machine without them is what the other tests expect.
KEYS = (r"HKLM\SOFTWARE\Microsoft\ExchangeServer", r"HKLM\SOFTWARE\Microsoft\Exchange",
        r"HKLM\SOFTWARE\Orvel", r"HKLM\Cluster")


def reg_text(logs, config, trace, install):
    def q(s):
        return s.replace("\\", "\\\\")
    return "\r\n".join([
        "REGEDIT4", "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment]",
        '"VORTA_SIT_PATH"="%s"' % q(config),
        '"VORTA_LOG_PATH"="%s"' % q(logs),
        '"JBX_RAS1"="ERROR (UNIT:qmxactdir ALL) (UNIT:qmxscripts ALL)"',
        '"JBX_RAS1_LOG"="%s"' % q(trace), "",
        # Exchange 2007 with the Mailbox role: release 3.
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Exchange\\Setup]",
        '"MsiProductMajor"=dword:00000008',
        '"MsiInstallPath"="%s"' % q(install), "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Exchange\\v8.0\\MailboxRole]", "", ""])


def delete_keys():
    for key in KEYS:
        subprocess.run(["wine", "reg", "delete", key, "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--bin", required=True)
    p.add_argument("--standins", required=True)
    opts = p.parse_args()

    work = tempfile.mkdtemp(prefix="qmx_e2e_topo_")
    logs, config, data = (os.path.join(work, d) for d in ("logs", "config", "standin"))
    install = os.path.join(work, "Exchange Server")
    for d in (logs, config, data, os.path.join(install, "Bin")):
        os.makedirs(d)
    with open(os.path.join(install, "Bin", "ExShell.psc1"), "w") as f:
        f.write("<PSConsoleFile/>")
    with open(os.path.join(data, "get-clusteredmailboxserverstatus.txt"), "w", newline="") as f:
        f.write(CLUSTER_OUTPUT)
    with open(os.path.join(data, "nlbstatus.txt"), "w", newline="") as f:
        f.write(NLB_OUTPUT)
    host = socket.gethostname().split(".")[0]
    with open(os.path.join(config, host[:15] + "_ex.cfg"), "w") as f:
        f.write("SECTION=EXCH\nexchange_interval=30\nexchange_server=CMS1\nexchange_reach_enable=0\n"
                "exchange_mailbox_enable=0\nexchange_topology_interval=300\n")
    trace = win(logs) + "\\host_qmx_agent_e2e-.log"
    reg = os.path.join(work, "e2e.reg")
    with open(reg, "w", newline="") as f:
        f.write(reg_text(win(logs), win(config), trace, win(install) + "\\"))

    directory = os.path.join(work, "directory")
    script = os.path.join(opts.root, "scripts", "directory.sh")
    agent = None
    try:
        delete_keys()
        subprocess.run(["wine", "regedit", "/S", win(reg)], check=True)
        started = subprocess.run(["bash", script, "start", directory, ADDRESS],
                                 capture_output=True, text=True)
        check(started.returncode == 0, "the directory starts on %s %s" % (ADDRESS, started.stderr.strip()))
        if started.returncode != 0:
            return 1
        env = {"QMX_AD_SERVER": ADDRESS, "QMX_AD_BIND": "simple", "QMX_EXCH_DOMAIN": "qmxtest",
               "WINEPATH": win(opts.standins), "QMX_STANDIN_DATA": win(data),
               "QMX_STANDIN_SERVER": "CMS1", "PXR_SAMPLE_INTERVAL": "2",
               # Until the registry environment is loaded the trace goes where these say.
               "VORTA_SIT_PATH": win(config), "VORTA_LOG_PATH": win(logs),
               "JBX_RAS1_LOG": trace}
        os.chdir(opts.bin)
        agent = Agent(["wine", "qmx_agent.exe", "TEST"], env=env)

        # 1. The agent's own topology thread writes the file; MSRTOPO serves its servers.
        got = wait_rows(agent, "MSRTOPO", lambda r: len(r) >= len(TOPOLOGY))
        servers = {(r.get("machname"), r.get("domname"), r.get("roles")) for r in got}
        check(servers == TOPOLOGY and len(got) == len(TOPOLOGY),
              "MSRTOPO returns the directory's servers, domain and roles (got %s)" % sorted(servers))
        text = read(os.path.join(logs, "topology_details.log"))
        lines = text.split("\n")
        check(lines[0] == "######  Topology Data - Number of Machines ######'6'" and
              {tuple(l.split(";")) for l in lines[1:] if l} == TOPOLOGY and text.endswith("\n")
              and len(lines) == 8,
              "topology_details.log in the log folder has the header and the six servers:\n%s" % text)

        # 2. Release 3: the clustered mailbox server row from the cluster script's output.
        got = wait_rows(agent, "MSMBSCS", lambda r: len(r) >= 1)
        check(len(got) == 1 and got[0].get("mbxname") == "CMS1" and got[0].get("mbxstate") == "Online"
              and got[0].get("nodes") == "{NODE1 <Active, Quorum Owner>, NODE2}",
              "MSMBSCS returns the clustered server CMS1, Online, its nodes (got %s)" % got)

        # 3. The load-balancing script's output: this node's status and upper-cased short name.
        got = wait_rows(agent, "MSENLBS", lambda r: len(r) >= 1 and r[0].get("machname") != "Undefined")
        check(len(got) == 1 and got[0].get("nlbstatus") == 1 and got[0].get("machname") == "SECOND",
              "MSENLBS returns node status 1 and name SECOND (got %s)" % got)

        calls = read(os.path.join(data, "calls.log"))
        check(("PowerShell|-PSConsoleFile \"%s\\Bin\\ExShell.psc1\" -Command \". '%s\\clustermbxstatus2007.ps1'\""
               % (win(install), win(logs))) in calls and
              ("WScript|\"%s\\nlbStatus.vbs\"" % win(logs)) in calls,
              "the stand-ins ran the agent's cluster and load-balancing scripts:\n%s" % calls)
        check(read(os.path.join(data, "errors.log")) == "",
              "the stand-ins found nothing wrong: %s" % read(os.path.join(data, "errors.log")))
        check(agent.alive(), "the agent still runs")
    finally:
        if agent is not None:
            if agent.alive():
                agent.proc.send_signal(signal.SIGINT)  # the console's Ctrl-C ends the agent
            rc = agent.stop()
            # Ending by itself is what counts here (the orderly end and its exit code are the
            # agent process tests' subject): under a loaded Wine, a process whose thread sits in a
            # host call while it exits is ended by the wine server with SIGKILL (-9).
            check(rc is not None, "the agent ends by itself after Ctrl-C (exit %s)" % rc)
            if failures:
                sys.stdout.write(agent.stderr()[-3000:])
        if failures:
            for name in os.listdir(logs):
                if name.startswith("host_qmx"):
                    sys.stdout.write(read(os.path.join(logs, name))[-4000:])
        subprocess.run(["bash", script, "stop", directory])
        delete_keys()
        shutil.rmtree(work, ignore_errors=True)

    return summary()


if __name__ == "__main__":
    sys.exit(main())
