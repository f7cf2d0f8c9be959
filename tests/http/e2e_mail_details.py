"""The real agent end to end with its background collection threads: the test tool in the place of
qmxmbstat.exe lies in the parent folder of the log folder (QMX_MBSTAT_DATA holds what it writes).

  A  release 5, mailbox details enabled: the mailbox and public folder threads run the tool, and
     MSEMBXD and MSEPFLDD serve the files it wrote.
  B  release 3, no configuration file (the defaults): only the public folder and topology threads
     start; the tables serve prepared files while the public folder tool never ends, and the agent
     still stops by itself, ending the tool.
  C  a cluster section without a topology interval (QMX_TOPOLOGY_INTERVAL "-1"): the topology
     thread ends at once, and the watch loop sees it although slots 1 and 2 are empty.

  e2e_mail_details.py --bin AGENT_DIR --tool TEST_TOOL_EXE
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

from agent_run import Agent, wait_rows
from e2e_topology_scripts import delete_keys, read, win

failures, passes = [], []
MAILBOXES = ("# Mailbox Details - Number of Mailboxes '2'\r\n"
             "Ann Archer;First Storage Group;Mailbox Database;12;2048;1024;2011-11-09 14:25;ann@corp.example.com\r\n"
             "Bob Baker;;;3;40;-77;;bob@corp.example.com\r\n")
FOLDERS = ("Public Folder Details - Number of Folders '2'\r\n"
           "IPM_SUBTREE;Second Storage Group;Public Folder Database;7;12.345;2011-11-09 14:25:33\r\n"
           "Schedule+ Free Busy;;;0;0.29;\r\n")
RELEASE_KEYS = {
    5: ["[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup]",
        '"MsiProductMajor"=dword:0000000e', "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\MailboxRole]"],
    3: ["[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Exchange\\Setup]",
        '"MsiProductMajor"=dword:00000008', "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Exchange\\v8.0\\MailboxRole]"],
}


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    (passes if ok else failures).append(what)


class Run:
    """One agent start in a work folder of its own: logs, config, tool data, the tool beside logs."""

    def __init__(self, opts, name, release, config=None):
        self.work = tempfile.mkdtemp(prefix="qmx_e2e_mbx_%s_" % name)
        self.logs, self.config, self.data = (os.path.join(self.work, d) for d in ("logs", "config", "tool"))
        for d in (self.logs, self.config, self.data):
            os.makedirs(d)
        shutil.copy(opts.tool, os.path.join(self.work, "qmxmbstat.exe"))
        if config is not None:
            host = socket.gethostname().split(".")[0]
            with open(os.path.join(self.config, host[:15] + "_ex.cfg"), "w") as f:
                f.write(config)
        self.trace = win(self.logs) + "\\host_qmx_agent_mbx-.log"
        q = lambda s: s.replace("\\", "\\\\")
        reg = os.path.join(self.work, "run.reg")
        with open(reg, "w", newline="") as f:
            f.write("\r\n".join(
                ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment]",
                 '"VORTA_SIT_PATH"="%s"' % q(win(self.config)), '"VORTA_LOG_PATH"="%s"' % q(win(self.logs)),
                 '"JBX_RAS1"="ERROR (UNIT:zrt ALL) (UNIT:qmxmaildetail ALL) (UNIT:qmxactdir ALL)"',
                 '"JBX_RAS1_LOG"="%s"' % q(self.trace), ""] + RELEASE_KEYS[release] + ["", ""]))
        delete_keys()
        subprocess.run(["wine", "regedit", "/S", win(reg)], check=True)
        self.opts = opts
        self.agent = None

    def put(self, name, text, folder=None):
        with open(os.path.join(folder or self.data, name), "w", newline="") as f:
            f.write(text)

    def start(self):
        env = {"QMX_MBSTAT_DATA": win(self.data), "PXR_SAMPLE_INTERVAL": "2",
               # Until the registry environment is loaded the trace goes where these say.
               "VORTA_SIT_PATH": win(self.config), "VORTA_LOG_PATH": win(self.logs),
               "JBX_RAS1_LOG": self.trace}
        os.chdir(self.opts.bin)
        self.agent = Agent(["wine", "qmx_agent.exe", "TEST"], env=env)
        return self.agent

    def traces(self):
        return "".join(read(os.path.join(self.logs, n)) for n in sorted(os.listdir(self.logs))
                       if n.startswith("host_qmx"))

    def wait_trace(self, text, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.traces():
                return True
            time.sleep(0.5)
        return False

    def stop(self):
        """Ctrl-C, as the console gets it; the exit code, or None when it had to be killed."""
        rc = None
        if self.agent is not None:
            if self.agent.alive():
                self.agent.proc.send_signal(signal.SIGINT)
            rc = self.agent.stop()
            if failures:
                sys.stdout.write(self.agent.stderr()[-3000:])
                sys.stdout.write(self.traces()[-4000:])
        return rc

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        delete_keys()
        shutil.rmtree(self.work, ignore_errors=True)


def run_a(opts):
    with Run(opts, "a", 5, "SECTION=EXCH\nexchange_interval=30\nexchange_server=EXMB01\n"
                            "exchange_mailbox_enable=1\nexchange_mailbox_interval=60\n"
                            "exchange_topology_interval=300\n") as run:
        run.put("mailboxdetails.txt", MAILBOXES)
        run.put("publicfolderdetails.txt", FOLDERS)
        agent = run.start()
        got = wait_rows(agent, "MSEMBXD", lambda r: len(r) >= 2)
        check(len(got) == 2 and got[0].get("mbxname") == "Ann Archer" and got[0].get("mbxmaxsize") == 102
              and got[0].get("sgname") == "First Storage Group" and got[1].get("sgname") == "Undefined"
              and got[1].get("emailaddrs") == "bob@corp.example.com",
              "A: MSEMBXD serves the two mailboxes the tool wrote (got %s)" % got)
        got = wait_rows(agent, "MSEPFLDD", lambda r: len(r) >= 2)
        check(len(got) == 2 and got[0].get("pfldname") == "IPM_SUBTREE" and got[0].get("pfldsize") == 1234
              and got[1].get("pfldsize") == 29 and got[1].get("isname") == "Undefined",
              "A: MSEPFLDD serves the two folders of PublicFolderDetails2010.log (got %s)" % got)
        calls = read(os.path.join(run.data, "calls.log")).splitlines()
        logs = win(run.logs)
        check(sorted(calls) == sorted(['-mailboxdetails 2010 EXMB01 "%s\\MailBox_Details.log"' % logs,
                                       '-publicfolderdetails 2010 EXMB01 "%s\\PublicFolderDetails2010.log"' % logs]),
              "A: the tool ran once per cycle with the agent's command lines: %s" % calls)
        check(read(os.path.join(run.data, "errors.log")) == "", "A: the tool found nothing wrong")
        t = run.traces()
        for line in ("HqMain: MailBox Thread started.", "HqMain: Topology Thread started.",
                     "HqMain: PublicFoldDetails  Thread started.", "MailBoxInfoThread:  Attached.",
                     "MailBoxInfoThread:  Calling mailboxinfo to gather metrics.",
                     "PublicFolderDetailThread:  Calling publicfolderdetail to gather metrics.",
                     "TopologyThread:  Calling TopologyThread to gather metrics.",
                     "Entering wait period between attempts to gather mailbox details : 60000",
                     "Entering wait period between attempts to gather public folder details : 300000"):
            # The wait lines follow the tool's end, which may come after its file is served.
            check(line in t or run.wait_trace(line, 30), "A: traced: " + line)
        check("HqMain: Mailbox Detail Thread started" in agent.stderr(), "A: the mailbox thread start on stderr")
        check(agent.alive(), "A: the agent still runs")
        rc = run.stop()
        check(rc is not None, "A: the agent ends by itself after Ctrl-C (exit %s)" % rc)


def run_b(opts):
    with Run(opts, "b", 3) as run:  # no configuration file: every setting at its default
        run.put("hang", "")
        run.put("MailBox_Details.log", MAILBOXES, run.logs)
        run.put("PublicFolderDetails2007.log", FOLDERS, run.logs)
        agent = run.start()
        got = wait_rows(agent, "MSEMBXD", lambda r: len(r) >= 2)
        check(len(got) == 2 and got[1].get("mbxname") == "Bob Baker",
              "B: MSEMBXD serves a prepared file on release 3 (got %s)" % got)
        got = wait_rows(agent, "MSEPFLDD", lambda r: len(r) >= 2)
        check(len(got) == 2 and got[0].get("numpfldmsg") == 7,
              "B: MSEPFLDD serves PublicFolderDetails2007.log (got %s)" % got)
        check(run.wait_trace("PublicFolderDetailThread:  Attached."), "B: the public folder thread runs")
        deadline = time.time() + 60
        while time.time() < deadline and not os.path.exists(os.path.join(run.data, "heartbeat")):
            time.sleep(0.5)
        check(os.path.exists(os.path.join(run.data, "heartbeat")), "B: the public folder tool is running")
        calls = read(os.path.join(run.data, "calls.log"))
        check(calls.startswith("-publicfolderdetails 2007 ") and "-mailboxdetails" not in calls,
              "B: only the public folder cycle ran the tool: %s" % calls)
        t = run.traces()
        check("HqMain: Topology Thread started." in t and "HqMain: PublicFoldDetails  Thread started." in t
              and "TopologyThread:  Attached." in t,
              "B: with the defaults the topology and public folder threads start")
        check("HqMain: MailBox Thread started." not in t and "MailBoxInfoThread:" not in t
              and "Reachability Thread started" not in t and "ReachabilityThread:" not in t,
              "B: with the defaults the mailbox and reachability threads do not start")
        rc = run.stop()
        check(rc is not None, "B: the agent ends by itself while a thread waits on the tool (exit %s)" % rc)
        beat = read(os.path.join(run.data, "heartbeat"))
        time.sleep(2)
        check(read(os.path.join(run.data, "heartbeat")) == beat, "B: the tool was ended with the agent")


def run_c(opts):
    host = socket.gethostname().split(".")[0]
    with Run(opts, "c", 5, "SECTION=EXCH\nexchange_interval=30\nexchange_mailbox_enable=0\n"
                            "exchange_mailbox_interval=86400\nexchange_server=EXMB01\n"
                            "SECTION=CLUSTER\nexch_cluster_server=%s\nexch_subsystem=sub\n"
                            "exch_history=C:\\\\hist\n" % host) as run:
        agent = run.start()
        check(run.wait_trace("Environment variables is not set for Topology data collection"),
              "C: QMX_TOPOLOGY_INTERVAL -1 ends the topology collection at once")
        check(run.wait_trace("HqMain: the thread of slot 3 has ended"),
              "C: the watch loop sees the topology thread end behind the empty slots 1 and 2")
        check("HqMain: the thread of slot 4 has ended" not in run.traces(),
              "C: the public folder thread keeps running")
        check(agent.alive(), "C: the agent still runs")
        rc = run.stop()
        check(rc is not None, "C: the agent ends by itself after Ctrl-C (exit %s)" % rc)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bin", required=True)
    p.add_argument("--tool", required=True)
    opts = p.parse_args()
    for scenario in (run_a, run_b, run_c):
        try:
            scenario(opts)
        except Exception as e:  # an agent that would not start: the next scenario still runs
            check(False, "%s: %s" % (scenario.__name__, e))
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
