#!/usr/bin/env python3
"""A small Exchange Web Services endpoint for tests: https://ADDRESS/EWS/Exchange.asmx with
CreateItem (SendAndSaveCopy), FindItem, GetItem and DeleteItem on one sender's inbox and sent
items, after the published EWS messages and types schemas. It checks every request it gets
(SOAP envelope, namespaces, RequestServerVersion, the token in the subject, the target address,
the credentials) and answers each target as told: a reply after a delay, no reply, an EWS error,
or a reply whose subject lacks the token. Hostile answers replace the answer of one operation.

As a program (prints "ready THUMBPRINT" once it listens, then serves until it is ended):
  ews_server.py --dir WORK --user U --domain D --password P --sender S
                [--address 127.0.0.18] [--port 443] [--log FILE]
                --target ADDR=SECONDS | ADDR=silent | ADDR=error:CODE | ADDR=notoken:SECONDS ...
"""
import argparse
import base64
import hashlib
import http.server
import json
import os
import re
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

SOAP = "http://schemas.xmlsoap.org/soap/envelope/"
T = "http://schemas.microsoft.com/exchange/services/2006/types"
M = "http://schemas.microsoft.com/exchange/services/2006/messages"
VERSIONS = ("Exchange2007_SP1", "Exchange2010")
TOKEN = re.compile(r"[0-9A-F]{32}")
OPERATIONS = ("CreateItem", "FindItem", "GetItem", "DeleteItem")


def q(ns, name):
    return "{%s}%s" % (ns, name)


def xml_text(s):
    return (s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def ews_time(epoch):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch))


def make_certificate(directory, address):
    """A throwaway self-signed certificate for the address; returns (cert, key, SHA-1 hex)."""
    cert, key = os.path.join(directory, "ews_cert.pem"), os.path.join(directory, "ews_key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=" + address, "-addext", "subjectAltName=IP:" + address,
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    with open(cert) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return cert, key, hashlib.sha1(der).hexdigest().upper()


class Target:
    """How a target address answers: kind reply|silent|error|notoken."""

    def __init__(self, kind, delay=0, code="", name=""):
        self.kind, self.delay, self.code, self.name = kind, delay, code, name

    @staticmethod
    def parse(text):
        addr, _, how = text.partition("=")
        if how == "silent":
            return addr, Target("silent")
        if how.startswith("error:"):
            return addr, Target("error", code=how[6:])
        if how.startswith("notoken:"):
            return addr, Target("notoken", delay=float(how[8:]))
        return addr, Target("reply", delay=float(how), name="Auto Reply " + addr.split("@")[0])


class RequestError(Exception):
    """A request this server's schema check refuses."""


class State:
    def __init__(self, user, domain, password, sender, targets):
        self.user, self.domain, self.password, self.sender = user, domain, password, sender
        self.targets = {a.lower(): t for a, t in targets.items()}
        self.offer = ["Basic"]          # WWW-Authenticate schemes, in order
        self.hostile = {}               # operation -> hostile answer kind
        self.lock = threading.Lock()
        self.log = []                   # one dict per request
        self.problems = []              # what the schema check refused
        self.items = {}                 # id -> item dict
        self.next_id = 1
        self.log_file = None
        self.stop = threading.Event()

    def record(self, entry):
        with self.lock:
            self.log.append(entry)
            if self.log_file:
                with open(self.log_file, "a") as f:
                    f.write(json.dumps(entry) + "\n")

    def new_item(self, **fields):
        with self.lock:
            item_id = "AAMkAD%06d" % self.next_id
            self.next_id += 1
            fields.update(id=item_id, change_key="CQAAAB%06d" % self.next_id)
            self.items[item_id] = fields
            return fields

    def visible(self, folder):
        now = time.time()
        with self.lock:
            return [i for i in self.items.values() if i["folder"] == folder and i["visible"] <= now]


def envelope(body):
    return ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="%s"><s:Header><h:ServerVersionInfo MajorVersion="14" '
            'MinorVersion="1" MajorBuildNumber="218" MinorBuildNumber="15" xmlns:h="%s" '
            'xmlns="%s" xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"/></s:Header><s:Body '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xmlns:xsd="http://www.w3.org/2001/XMLSchema">%s</s:Body></s:Envelope>'
            % (SOAP, T, T, body))


def response(op, messages):
    return envelope('<m:%sResponse xmlns:m="%s" xmlns:t="%s"><m:ResponseMessages>%s'
                    '</m:ResponseMessages></m:%sResponse>' % (op, M, T, messages, op))


def message(op, inner="", code="NoError", text=""):
    if code == "NoError":
        return ('<m:%sResponseMessage ResponseClass="Success"><m:ResponseCode>NoError'
                '</m:ResponseCode>%s</m:%sResponseMessage>' % (op, inner, op))
    return ('<m:%sResponseMessage ResponseClass="Error"><m:MessageText>%s</m:MessageText>'
            '<m:ResponseCode>%s</m:ResponseCode><m:DescriptiveLinkKey>0</m:DescriptiveLinkKey>'
            '%s</m:%sResponseMessage>' % (op, xml_text(text), code, inner, op))


def item_xml(i, full):
    x = '<t:Message><t:ItemId Id="%s" ChangeKey="%s"/><t:Subject>%s</t:Subject>' % (
        i["id"], i["change_key"], xml_text(i["subject"]))
    x += "<t:DateTimeReceived>%s</t:DateTimeReceived>" % i.get("received_text", ews_time(i["received"]))
    if "sent" in i:
        x += "<t:DateTimeSent>%s</t:DateTimeSent>" % ews_time(i["sent"])
    if full:
        x += ('<t:From><t:Mailbox><t:Name>%s</t:Name><t:EmailAddress>%s</t:EmailAddress>'
              '<t:RoutingType>SMTP</t:RoutingType></t:Mailbox></t:From>'
              % (xml_text(i["from_name"]), xml_text(i["from_address"])))
    return x + "</t:Message>"


class Ews:
    """The operations, on a parsed and checked request."""

    def __init__(self, state):
        self.s = state

    @staticmethod
    def one(parent, path, what):
        node = parent.find(path)
        if node is None:
            raise RequestError("%s is missing" % what)
        return node

    def mailbox_folder(self, node, allowed):
        folder = self.one(node, q(T, "DistinguishedFolderId"), "DistinguishedFolderId")
        if folder.get("Id") not in allowed:
            raise RequestError("folder %r is not one of %s" % (folder.get("Id"), allowed))
        address = self.one(folder, "%s/%s" % (q(T, "Mailbox"), q(T, "EmailAddress")),
                           "the folder's Mailbox/EmailAddress").text or ""
        if address.lower() != self.s.sender.lower():
            raise RequestError("folder mailbox %r is not the sender's" % address)
        return folder.get("Id")

    def create_item(self, op, entry):
        if op.get("MessageDisposition") != "SendAndSaveCopy":
            raise RequestError("MessageDisposition is not SendAndSaveCopy")
        self.mailbox_folder(self.one(op, q(M, "SavedItemFolderId"), "SavedItemFolderId"), ("sentitems",))
        msg = self.one(op, "%s/%s" % (q(M, "Items"), q(T, "Message")), "Items/Message")
        subject = self.one(msg, q(T, "Subject"), "Subject").text or ""
        token = TOKEN.search(subject)
        if not token:
            raise RequestError("the subject %r carries no token" % subject)
        to = msg.findall("%s/%s/%s" % (q(T, "ToRecipients"), q(T, "Mailbox"), q(T, "EmailAddress")))
        if len(to) != 1:
            raise RequestError("expected one recipient, got %d" % len(to))
        target = to[0].text or ""
        entry.update(token=token.group(0), target=target, subject=subject)
        how = self.s.targets.get(target.lower(), Target("silent"))
        if how.kind == "error":
            return response("CreateItem", message("CreateItem", "<m:Items/>", how.code,
                                                  "The recipient could not be resolved."))
        now = int(time.time())
        self.s.new_item(folder="sentitems", subject=subject, sent=now, received=now, visible=now,
                        from_name="Sender", from_address=self.s.sender)
        if how.kind in ("reply", "notoken"):
            reply_subject = ("RE: " + subject if how.kind == "reply"
                             else "Automatic reply: your message")
            self.s.new_item(folder="inbox", subject=reply_subject, received=now + how.delay,
                            visible=now + how.delay, from_name=how.name or "Auto Reply",
                            from_address=target, sent=now + how.delay)
        return response("CreateItem", message("CreateItem", "<m:Items/>"))

    def find_item(self, op, entry):
        if op.get("Traversal") != "Shallow":
            raise RequestError("Traversal is not Shallow")
        self.one(op, "%s/%s" % (q(M, "ItemShape"), q(T, "BaseShape")), "ItemShape/BaseShape")
        contains = self.one(op, "%s/%s" % (q(M, "Restriction"), q(T, "Contains")), "Restriction/Contains")
        if self.one(contains, q(T, "FieldURI"), "Contains/FieldURI").get("FieldURI") != "item:Subject":
            raise RequestError("the restriction is not on item:Subject")
        token = self.one(contains, q(T, "Constant"), "Contains/Constant").get("Value") or ""
        folder = self.mailbox_folder(self.one(op, q(M, "ParentFolderIds"), "ParentFolderIds"),
                                     ("inbox", "sentitems"))
        entry.update(folder=folder, token=token)
        # The "notoken" reply is listed although it lacks the token, as a faulty server might.
        items = [i for i in self.s.visible(folder)
                 if token.lower() in i["subject"].lower() or not TOKEN.search(i["subject"])]
        inner = ('<m:RootFolder TotalItemsInView="%d" IncludesLastItemInRange="true"><t:Items>%s'
                 '</t:Items></m:RootFolder>' % (len(items), "".join(item_xml(i, False) for i in items)))
        return response("FindItem", message("FindItem", inner))

    def get_item(self, op, entry):
        ids = op.findall("%s/%s" % (q(M, "ItemIds"), q(T, "ItemId")))
        if not ids:
            raise RequestError("ItemIds holds no ItemId")
        out = []
        for node in ids:
            i = self.s.items.get(node.get("Id"))
            out.append(message("GetItem", "<m:Items>%s</m:Items>" % item_xml(i, True)) if i else
                       message("GetItem", "<m:Items/>", "ErrorItemNotFound", "The item was not found."))
        entry.update(ids=[n.get("Id") for n in ids])
        return response("GetItem", "".join(out))

    def delete_item(self, op, entry):
        if op.get("DeleteType") not in ("HardDelete", "SoftDelete", "MoveToDeletedItems"):
            raise RequestError("DeleteType %r" % op.get("DeleteType"))
        ids = [n.get("Id") for n in op.findall("%s/%s" % (q(M, "ItemIds"), q(T, "ItemId")))]
        entry.update(ids=ids)
        out = []
        with self.s.lock:
            for i in ids:
                ok = self.s.items.pop(i, None) is not None
                out.append(message("DeleteItem") if ok else
                           message("DeleteItem", "", "ErrorItemNotFound", "The item was not found."))
        return response("DeleteItem", "".join(out))

    def handle(self, body, entry):
        """The answer to one request body, or RequestError."""
        try:
            root = ET.fromstring(body)
        except ET.ParseError as e:
            raise RequestError("not well-formed: %s" % e)
        if root.tag != q(SOAP, "Envelope"):
            raise RequestError("the root is %s, not the SOAP 1.1 Envelope" % root.tag)
        version = self.one(root, "%s/%s" % (q(SOAP, "Header"), q(T, "RequestServerVersion")),
                           "Header/RequestServerVersion").get("Version")
        if version not in VERSIONS:
            raise RequestError("RequestServerVersion %r" % version)
        entry["version"] = version
        ops = list(self.one(root, q(SOAP, "Body"), "Body"))
        if len(ops) != 1 or not ops[0].tag.startswith("{%s}" % M):
            raise RequestError("the Body must hold one element of the messages namespace")
        name = ops[0].tag.split("}")[1]
        entry["op"] = name
        if name not in OPERATIONS:
            raise RequestError("operation %s is not served here" % name)
        return name, getattr(self, {"CreateItem": "create_item", "FindItem": "find_item",
                                    "GetItem": "get_item", "DeleteItem": "delete_item"}[name])(ops[0], entry)


def hostile_answer(kind, op, state):
    """(status, headers, body or a callable writing to the socket) for a hostile answer kind."""
    ok = lambda inner: response(op, message(op, inner))
    if kind == "not_xml":
        return 200, "<<< this is not XML &&&"
    if kind == "empty":
        return 200, ""
    if kind == "wrong_soap_ns":
        return 200, ok("").replace(SOAP, "http://www.w3.org/2003/05/soap-envelope")
    if kind == "wrong_messages_ns":
        return 200, response(op, message(op, "")).replace('xmlns:m="%s"' % M, 'xmlns:m="urn:other"')
    if kind == "no_response_code":
        return 200, response(op, '<m:%sResponseMessage ResponseClass="Success"/>' % op)
    if kind == "no_body":
        return 200, '<s:Envelope xmlns:s="%s"><s:Header/></s:Envelope>' % SOAP
    if kind == "truncated":
        full = ok("<m:Items/>")
        return 200, full[:len(full) // 2]
    if kind == "two_envelopes":
        return 200, ok("") + ok("")
    if kind == "deep":
        return 200, response(op, message(op, "<a>" * 100000 + "</a>" * 100000))
    if kind == "entities":
        return 200, ('<?xml version="1.0"?><!DOCTYPE s [<!ENTITY a "aaaaaaaaaa">'
                     '<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;"><!ENTITY c "&b;&b;&b;&b;&b;&b;&b;">]>'
                     + ok("<m:Items/>").split("?>", 1)[1].replace("NoError", "&c;"))
    if kind == "fault":
        return 500, envelope('<s:Fault><faultcode xmlns:a="%s">a:ErrorSchemaValidation</faultcode>'
                             '<faultstring xml:lang="en-US">The request failed schema validation.'
                             '</faultstring></s:Fault>' % T)
    if kind == "http_503":
        return 503, "busy"
    if kind == "no_item_id":
        return 200, ok('<m:RootFolder TotalItemsInView="1"><t:Items><t:Message><t:Subject>x'
                       '</t:Subject></t:Message></t:Items></m:RootFolder>')
    if kind == "item_flood":
        one = '<t:Message><t:ItemId Id="X"/><t:Subject>x</t:Subject></t:Message>'
        return 200, ok('<m:RootFolder><t:Items>%s</t:Items></m:RootFolder>' % (one * 1001))
    if kind == "long_text":
        return 200, response(op, message(op, "", "ErrorInternalServerError", "x" * 200000))
    if kind == "long_message":
        return 200, response(op, message(op, "", "ErrorInternalServerError", "y" * 30000))
    if kind == "bad_date":
        with state.lock:
            for i in state.items.values():
                i["received_text"] = "yesterday"
        return None
    raise ValueError("unknown hostile answer " + kind)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "Microsoft-IIS/7.5"

    def log_message(self, *args):
        pass

    def send(self, status, body, headers=()):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def authorised(self):
        s = self.server.state
        header = self.headers.get("Authorization", "")
        if not header.startswith("Basic "):
            return False, header.split(" ")[0] if header else ""
        try:
            got = base64.b64decode(header[6:]).decode("utf-8")
        except Exception:
            return False, "Basic"
        want = (s.domain + "\\" if s.domain else "") + s.user + ":" + s.password
        return got == want, "Basic"

    def do_GET(self):
        self.send(200, "EWS")

    def do_POST(self):
        s = self.server.state
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        entry = {"path": self.path, "content_type": self.headers.get("Content-Type", "")}
        ok, scheme = self.authorised()
        entry["auth"] = scheme
        if not ok:
            entry["status"] = 401
            s.record(entry)
            self.send(401, "", [("WWW-Authenticate", o if o != "Basic" else 'Basic realm="ews"')
                                for o in s.offer])
            return
        try:
            if self.path != "/EWS/Exchange.asmx":
                raise RequestError("path %s" % self.path)
            if not entry["content_type"].startswith("text/xml"):
                raise RequestError("Content-Type %r" % entry["content_type"])
            op, answer = Ews(s).handle(body, entry)
        except RequestError as e:
            entry["problem"] = str(e)
            s.record(entry)
            with s.lock:
                s.problems.append(str(e))
            self.send(500, envelope('<s:Fault><faultcode>s:Client</faultcode><faultstring>%s'
                                    '</faultstring></s:Fault>' % xml_text(str(e))))
            return
        s.record(entry)
        kind = s.hostile.get(op)
        if kind == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
            return
        if kind == "never_ends":
            self.send_response(200)
            self.send_header("Content-Type", "text/xml; charset=utf-8")
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(answer[:60].encode())
            self.wfile.flush()
            s.stop.wait(120)
            self.close_connection = True
            return
        if kind == "redirect":
            self.send(302, "", [("Location", "https://127.0.0.18/elsewhere/Exchange.asmx")])
            return
        if kind == "huge":
            self.send_response(200)
            self.send_header("Content-Type", "text/xml; charset=utf-8")
            self.send_header("Content-Length", str(9 * 1024 * 1024 + len(answer)))
            self.end_headers()
            try:
                self.wfile.write(answer[:answer.index("<s:Body")].encode())
                chunk = b"<!--" + b"x" * 65000 + b"-->"
                for _ in range(9 * 1024 * 1024 // len(chunk) + 1):
                    self.wfile.write(chunk)
            except OSError:
                pass
            self.close_connection = True
            return
        if kind and kind != "bad_date":
            status, text = hostile_answer(kind, op, s)
            self.send(status, text)
            return
        if kind == "bad_date":
            hostile_answer(kind, op, s)
            op, answer = Ews(s).handle(body, {})
        self.send(200, answer)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, port, state, cert, key):
        self.state = state
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        super().__init__((address, port), Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        # The handshake runs on the request's thread, so a stalled client holds up no other.
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def handle_error(self, request, client_address):
        pass  # a client that went away mid-answer (the tests make them)


def start(state, directory, address="127.0.0.18", port=443):
    """Starts a server on its own thread; returns (server, thumbprint)."""
    cert, key, thumbprint = make_certificate(directory, address)
    server = Server(address, port, state, cert, key)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, thumbprint


def stop(server):
    server.state.stop.set()
    server.shutdown()
    server.server_close()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dir", required=True)
    p.add_argument("--address", default="127.0.0.18")
    p.add_argument("--port", type=int, default=443)
    p.add_argument("--user", required=True)
    p.add_argument("--domain", default="")
    p.add_argument("--password", required=True)
    p.add_argument("--sender", required=True)
    p.add_argument("--target", action="append", default=[])
    p.add_argument("--log")
    a = p.parse_args()
    state = State(a.user, a.domain, a.password, a.sender, dict(Target.parse(t) for t in a.target))
    state.log_file = a.log
    server, thumbprint = start(state, a.dir, a.address, a.port)
    print("ready", thumbprint, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    stop(server)


if __name__ == "__main__":
    main()
