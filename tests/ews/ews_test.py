#!/usr/bin/env python3
"""qmxews.exe under Wine against the test EWS server (ews_server.py) on 127.0.0.18:443.
  ews_test.py QMXEWS_EXE WORKDIR [unittest arguments, e.g. RoundTrip]"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ews_server  # noqa: E402

EXE = WORK = None
ADDRESS = "127.0.0.18"
USER, DOMAIN, PASSWORD = "mbxtest", "CORP", "Pw!9x#Secret"
SENDER = "mbxtest@corp.example"
TIME = re.compile(r"^(\d\d)/(\d\d)/(\d{4})  (\d\d):(\d\d):(\d\d)$")
CODES = {"reply": 0, "usage": 1, "noreply": 2, "name": 3, "connection": 4, "certificate": 6,
         "authentication": 7, "ews": 8, "answer": 9, "status": 10}


def seconds(text):
    m = TIME.match(text)
    assert m, "not in the tool's time form: %r" % text
    mo, d, y, h, mi, s = map(int, m.groups())
    return time.mktime((y, mo, d, h, mi, s, 0, 0, -1))


class Run:
    def __init__(self, proc):
        self.code = proc.returncode
        self.out = proc.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        self.err = proc.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
        self.lines = dict(line.split(":", 1) for line in self.out.splitlines() if ":" in line)
        self.lines = {k: v.strip() for k, v in self.lines.items()}


class EwsCase(unittest.TestCase):
    targets = {"echo@corp.example": ews_server.Target("reply", 3, name="Echo Responder"),
               "fast@corp.example": ews_server.Target("reply", 1, name="Fast Responder"),
               "quiet@corp.example": ews_server.Target("silent"),
               "gone@corp.example": ews_server.Target("error", code="ErrorNonExistentMailbox"),
               "rule@corp.example": ews_server.Target("notoken", 1)}

    @classmethod
    def setUpClass(cls):
        cls.state = ews_server.State(USER, DOMAIN, PASSWORD, SENDER, cls.targets)
        cls.server, cls.thumbprint = ews_server.start(cls.state, WORK, ADDRESS, 443)

    @classmethod
    def tearDownClass(cls):
        ews_server.stop(cls.server)

    def setUp(self):
        with self.state.lock:
            self.state.log.clear()
            self.state.problems.clear()
            self.state.items.clear()
        self.state.hostile = {}
        self.state.offer = ["Basic"]

    def run_tool(self, *args, trusted=True, env=None):
        e = dict(os.environ)
        e.pop("QMX_EWS_TRUSTED_CERT", None)
        if trusted:
            e["QMX_EWS_TRUSTED_CERT"] = self.thumbprint
        e.update(env or {})
        proc = subprocess.run(["wine", EXE] + list(args), capture_output=True, env=e, timeout=180)
        r = Run(proc)
        # Whatever happened, the password is never shown.
        self.assertNotIn(PASSWORD, r.out + r.err)
        # Failures explain themselves in one line of their own.
        if r.code != 0:
            self.assertRegex(r.err, r"(?m)^qmxews: \S", "no message for exit %d" % r.code)
        for line in r.err.splitlines():
            self.assertLess(len(line), 1000, "an unbounded message")
        return r

    def standard(self, target, threshold="15000", version="2010", delete="NO", password=PASSWORD,
                 server=ADDRESS, domain=DOMAIN):
        return ["-getmrt", USER, password, domain, server, SENDER, target, threshold, version, delete]

    def requests(self, op=None):
        with self.state.lock:
            return [e for e in self.state.log if op is None or e.get("op") == op]

    def assert_no_problems(self):
        with self.state.lock:
            self.assertEqual(self.state.problems, [])


class RoundTrip(EwsCase):
    def test_reply_times_differ_by_the_servers_delay(self):
        for target, delay, version, wire, delete in (
                ("echo@corp.example", 3, "2007", "Exchange2007_SP1", "NO"),
                ("fast@corp.example", 1, "2010", "Exchange2010", "YES")):
            with self.subTest(target=target):
                self.setUp()
                r = self.run_tool(*self.standard(target, version=version, delete=delete))
                self.assertEqual(r.code, CODES["reply"], r.err)
                self.assertEqual(seconds(r.lines["ReceivedTime"]) - seconds(r.lines["SentTime"]), delay)
                self.assertEqual(r.lines["Name"], self.targets[target].name)
                self.assert_no_problems()
                created = self.requests("CreateItem")
                self.assertEqual(len(created), 1)
                self.assertEqual(created[0]["target"], target)
                self.assertIn(created[0]["token"], created[0]["subject"])
                # Every request is of the asked version and looks for this run's token.
                self.assertEqual({e["version"] for e in self.requests() if "version" in e}, {wire})
                self.assertEqual({e["token"] for e in self.requests("FindItem")}, {created[0]["token"]})
                self.assertEqual({e["folder"] for e in self.requests("FindItem")}, {"inbox", "sentitems"})
                deleted = [i for e in self.requests("DeleteItem") for i in e["ids"]]
                if delete == "YES":
                    self.assertEqual(len(deleted), 2)
                    self.assertEqual(self.state.items, {})
                else:
                    self.assertEqual(deleted, [])

    def test_each_run_has_its_own_token(self):
        tokens = []
        for _ in range(2):
            self.run_tool(*self.standard("fast@corp.example"))
            tokens.append(self.requests("CreateItem")[-1]["token"])
        self.assertNotEqual(tokens[0], tokens[1])

    def test_no_reply_prints_only_the_send_time(self):
        r = self.run_tool(*self.standard("quiet@corp.example", threshold="3000"))
        self.assertEqual(r.code, CODES["noreply"])
        self.assertEqual(list(r.lines), ["SentTime"])
        seconds(r.lines["SentTime"])
        self.assertIn("no reply", r.err)
        self.assertGreaterEqual(len(self.requests("FindItem")), 2)  # it kept looking

    def test_a_mail_without_the_token_is_no_reply(self):
        r = self.run_tool(*self.standard("rule@corp.example", threshold="4000"))
        self.assertEqual(r.code, CODES["noreply"])
        self.assertNotIn("ReceivedTime", r.lines)
        self.assertIn("without it ignored", r.err)

    def test_threshold_zero_still_looks_once(self):
        r = self.run_tool(*self.standard("quiet@corp.example", threshold="0"))
        self.assertEqual(r.code, CODES["noreply"])
        self.assertEqual(len(self.requests("CreateItem")), 1)
        self.assertEqual(len([e for e in self.requests("FindItem") if e["folder"] == "inbox"]), 1)

    def test_empty_domain_drops_out_of_the_command_line(self):
        # The agent joins the arguments with single blanks, so an empty domain leaves nine.
        self.state.domain = ""
        try:
            args = self.standard("fast@corp.example")
            del args[3]
            r = self.run_tool(*args)
        finally:
            self.state.domain = DOMAIN
        self.assertEqual(r.code, CODES["reply"], r.err)


class Failures(EwsCase):
    def test_ews_error_code(self):
        r = self.run_tool(*self.standard("gone@corp.example"))
        self.assertEqual(r.code, CODES["ews"])
        self.assertIn("ErrorNonExistentMailbox", r.err)
        self.assertEqual(r.out, "")

    def test_wrong_password(self):
        for offer in (["Basic"], ["Negotiate", "NTLM", "Basic"]):
            with self.subTest(offer=offer):
                self.state.offer = offer
                r = self.run_tool(*self.standard("echo@corp.example", password="not-" + PASSWORD))
                self.assertEqual(r.code, CODES["authentication"])
                self.assertIn("refused the credentials of CORP\\" + USER, r.err)
                self.assertNotIn("not-" + PASSWORD, r.err + r.out)
                self.assertEqual(self.requests("CreateItem"), [])

    def test_schemes_offered_before_basic_fall_back_to_it(self):
        self.state.offer = ["Negotiate", "NTLM", "Basic"]
        r = self.run_tool(*self.standard("fast@corp.example"))
        self.assertEqual(r.code, CODES["reply"], r.err)

    def test_certificate(self):
        for name, env, code, text in (
                ("not trusted", None, "certificate", "not trusted"),
                ("another thumbprint", {"QMX_EWS_TRUSTED_CERT": "00" * 20}, "certificate", "not the one"),
                ("not a thumbprint", {"QMX_EWS_TRUSTED_CERT": "12:34"}, "usage", "40 hex digits")):
            with self.subTest(name):
                r = self.run_tool(*self.standard("fast@corp.example"), trusted=False, env=env)
                self.assertEqual(r.code, CODES[code])
                self.assertIn(text, r.err)
                self.assertEqual(self.requests(), [])  # nothing was posted to that server

    def test_thumbprint_with_colons_and_lower_case(self):
        pretty = ":".join(self.thumbprint[i:i + 2] for i in range(0, 40, 2)).lower()
        r = self.run_tool(*self.standard("fast@corp.example"), trusted=False,
                          env={"QMX_EWS_TRUSTED_CERT": pretty})
        self.assertEqual(r.code, CODES["reply"], r.err)

    def test_unreachable_servers(self):
        for server, code in (("127.0.0.19", "connection"), ("no-such-host.invalid", "name")):
            with self.subTest(server):
                r = self.run_tool(*self.standard("fast@corp.example", server=server))
                self.assertEqual(r.code, CODES[code], r.err)
                self.assertIn(server, r.err)

    def test_bad_command_lines(self):
        good = self.standard("fast@corp.example")
        for name, change in (
                ("quotes in target", {6: '"x"@corp.example'}),
                ("angle brackets in target", {6: "<fast@corp.example>"}),
                ("two addresses", {6: "a@corp.example;b@corp.example"}),
                ("no @ in sender", {5: "mbxtest"}),
                ("markup in server", {4: "<x>"}),
                ("threshold not a number", {7: "60s"}),
                ("threshold too large", {7: "86400001"}),
                ("version", {8: "2013"}),
                ("delete flag", {9: "MAYBE"}),
                ("first argument", {0: "-send"}),
                ("empty password", {2: ""})):
            with self.subTest(name):
                args = list(good)
                for k, v in change.items():
                    args[k] = v
                r = self.run_tool(*args)
                self.assertEqual(r.code, CODES["usage"], r.err)
                self.assertEqual(r.out, "")
                self.assertEqual(self.requests(), [])
        r = self.run_tool(*good[:5])
        self.assertEqual(r.code, CODES["usage"])
        self.assertIn("usage:", r.err)


class HostileAnswers(EwsCase):
    # (answer kind, the operation whose answer it replaces, exit, a word of the message)
    CASES = (
        ("not_xml", "CreateItem", "answer", "not well-formed"),
        ("empty", "CreateItem", "answer", "not well-formed"),
        ("wrong_soap_ns", "CreateItem", "answer", "not a SOAP envelope"),
        ("wrong_messages_ns", "FindItem", "answer", "FindItemResponse"),
        ("no_response_code", "CreateItem", "answer", "without ResponseCode"),
        ("no_body", "CreateItem", "answer", "no SOAP body"),
        ("truncated", "CreateItem", "answer", "not well-formed"),
        ("two_envelopes", "CreateItem", "answer", "well-formed"),
        ("deep", "CreateItem", "answer", "nested too deep"),
        ("entities", "CreateItem", "answer", "not well-formed"),
        ("no_item_id", "FindItem", "answer", "without ItemId"),
        ("item_flood", "FindItem", "answer", "too many items"),
        ("long_text", "CreateItem", "answer", "too long"),
        ("bad_date", "GetItem", "answer", "not a time"),
        ("huge", "CreateItem", "answer", "larger than"),
        ("fault", "CreateItem", "ews", "SOAP fault"),
        ("long_message", "CreateItem", "ews", "ErrorInternalServerError: yyy"),
        ("redirect", "FindItem", "status", "HTTP 302"),
        ("http_503", "FindItem", "status", "HTTP 503"),
        ("reset", "CreateItem", "connection", "127.0.0.18"),
        ("never_ends", "FindItem", "connection", "127.0.0.18"),
    )

    def test_hostile_answers(self):
        for kind, op, code, text in self.CASES:
            with self.subTest(kind):
                self.setUp()
                self.state.hostile = {op: kind}
                r = self.run_tool(*self.standard("fast@corp.example", threshold="2000"))
                self.assertEqual(r.code, CODES[code], "%s: %s" % (kind, r.err))
                self.assertIn(text, r.err)
                self.assertNotIn("ReceivedTime", r.lines)
                # A failure after the mail went out still reports when it was sent.
                if op != "CreateItem":
                    self.assertIn("SentTime", r.lines)
                else:
                    self.assertEqual(r.out, "")
                self.state.stop.set()  # frees a never-ending answer's thread
                self.state.stop.clear()


def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class ReachabilityCycle(EwsCase):
    """The agent's reachability cycle (reach_cycle_driver.exe) starting the real qmxews.exe from
    the parent of its log folder. Without a directory (nothing listens on 127.0.0.4) the sender
    is user@domain and the target server "unknown"."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.state.sender = USER + "@" + DOMAIN

    def cycle(self, password, addresses):
        root = os.path.join(WORK, "cycle%d" % len(os.listdir(WORK)))
        logs = os.path.join(root, "logs")
        os.makedirs(logs)
        shutil.copy(EXE, os.path.join(root, "qmxews.exe"))
        token = subprocess.run(["wine", os.environ["QMX_TEST_QMXPASSWD"]], input=password.encode() + b"\n",
                               capture_output=True, check=True).stdout.decode().strip()
        env = dict(os.environ, VORTA_LOG_PATH=windows(logs), JBX_RAS1_LOG=windows(logs) + "\\trace.log",
                   JBX_RAS1="ERROR (UNIT:qmxmailbox ALL)", QMX_EXCH_USERID=USER,
                   QMX_EXCH_PASSWORD=token, QMX_EXCH_DOMAIN=DOMAIN, QMX_EXCH_SERVER=ADDRESS,
                   QMX_REACHABILITY_INTERVAL="300", QMX_REACHABILITY_THRESHOLD="30",
                   QMX_EMAIL_ADDRESSES=addresses, QMX_AD_SERVER="127.0.0.4", QMX_AD_BIND="simple",
                   QMX_EWS_TRUSTED_CERT=self.thumbprint)
        proc = subprocess.run(["wine", os.environ["QMX_TEST_REACH_DRIVER"]], capture_output=True,
                              env=env, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        err = proc.stderr.decode("utf-8", "replace")
        # The plain password is in no file of the log folder and in no output; the trace shows
        # the command line masked.
        for name in os.listdir(logs):
            with open(os.path.join(logs, name), "rb") as f:
                self.assertNotIn(password.encode(), f.read(), name)
        self.assertNotIn(password, err + proc.stdout.decode("utf-8", "replace"))
        with open(os.path.join(logs, "trace.log"), "rb") as f:
            self.assertIn(("qmxews.exe -getmrt %s XXXXX %s %s" % (USER, DOMAIN, ADDRESS)).encode(), f.read())
        results = os.path.join(logs, "MailBox_Reachability_Results.log")
        with open(results) as f:
            return [line.rstrip("\n").split(";") for line in f], err

    def test_answered_and_silent_targets(self):
        lines, _ = self.cycle(PASSWORD, "echo@corp.example;quiet@corp.example")
        self.assert_no_problems()
        self.assertEqual([line[:3] for line in lines],
                         [["unknown", "echo@corp.example", "Y"], ["unknown", "QUIET@CORP.EXAMPLE", "N"]])
        self.assertLessEqual(abs(float(lines[0][3]) - self.targets["echo@corp.example"].delay), 1.0)
        self.assertEqual(lines[1][3], "0.00")
        for line in lines:
            self.assertRegex(line[4], r"^\d{16}$")  # receipt time; send time of the unanswered
        self.assertEqual(len(self.requests("CreateItem")), 2)

    def test_wrong_password(self):
        wrong = "Wrong-" + PASSWORD[::-1]
        lines, err = self.cycle(wrong, "echo@corp.example")
        self.assertEqual(lines, [["unknown", "ECHO@CORP.EXAMPLE", "N", "0.00", ""]])
        self.assertIn("qmxews: the server %s refused the credentials of %s\\%s" % (ADDRESS, DOMAIN, USER), err)
        self.assertEqual(self.requests("CreateItem"), [])


if __name__ == "__main__":
    EXE, WORK = sys.argv[1], sys.argv[2]
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
