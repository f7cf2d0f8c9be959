"""End to end: the test agent's HTTP server through real sockets, including hostile clients."""
import socket
import sys
import time
import urllib.parse

from agent_run import Agent, agent_command, check, free_port, summary



def raw(port, data, timeout=10, read=True):
    """Sends bytes as they are, returns the status code of the answer (0: none)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except OSError:
            pass  # the server may close on an oversized request while we still send
        if not read:
            return 0
        reply = b""
        try:
            while b"\r\n" not in reply:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        except OSError:
            pass
    try:
        return int(reply.split(b" ", 2)[1])
    except (IndexError, ValueError):
        return 0


def names(agent, conditions):
    q = "&".join("where=" + urllib.parse.quote(c, safe=":") for c in conditions)
    status, j = agent.get_json("/v1/tables/QMXHTA/rows" + ("?" + q if q else ""))
    if status != 200:
        return ("status", status, j)
    return [r["name"] for r in j["rows"]]


def serving_tests(agent):
    port = agent.port
    status, j = agent.get_json("/healthz")
    check(status == 200 and j.get("status") == "ok", "healthz answers 200")

    status, j = agent.get_json("/v1/tables")
    t = j.get("tables", [])
    check(status == 200 and [x["name"] for x in t] == ["QMXHTA", "QMXHTB"], "tables listed in registration order")
    check(t and t[0]["rowSize"] == 152 and t[0]["step"] == 2 and t[0]["application"] == "QMX"
          and t[0]["attributes"][7] == {"name": "big", "offset": 140, "width": 8, "type": 13},
          "table layout as the request object reports it")

    status, j = agent.get_json("/v1/tables/QMXHTA/rows")
    rows = j.get("rows", [])
    check(status == 200 and j.get("table") == "QMXHTA" and len(rows) == 4, "all rows without conditions")
    if len(rows) == 4:
        check(rows[0]["originnode"] == "hostA:EX" and rows[0]["label"] == "one" and rows[0]["big"] == 5000000000,
              "texts trimmed, 64-bit integers whole")
        check(rows[1]["label"] == "two" and rows[3]["label"] == "bad\ufffd\ufffd" and rows[3]["name"] == "\u00e9t\u00e9",
              "text ends at NUL, invalid UTF-8 replaced")

    gamma, ete = 'ga"m\\ma\nx', "\u00e9t\u00e9"
    cases = [
        (["VALUE:EQ:0"], ["beta"]), (["VALUE:NE:0"], ["alpha", gamma, ete]),
        (["VALUE:LT:0"], ["alpha"]), (["VALUE:LE:0"], ["alpha", "beta"]),
        (["VALUE:GT:7"], [ete]), (["VALUE:GE:7"], [gamma, ete]),
        (["BIG:GT:4294967296"], ["alpha"]), (["BIG:LT:0"], ["beta"]), (["BIG:EQ:42"], [ete]),
        (["BIG:NE:0"], ["alpha", "beta", ete]), (["BIG:LE:0"], ["beta", gamma]), (["BIG:GE:42"], ["alpha", ete]),
        (["ORIGINNODE:EQ:hostA:EX"], ["alpha", gamma]), (["ORIGINNODE:GT:hostB:EX"], [ete]),
        (["LABEL:EQ:two"], ["beta"]), (["LABEL:NE:two"], ["alpha", gamma, ete]),
        (["NAME:EQ:\u00e9t\u00e9"], [ete]), (["NAME:LT:beta"], ["alpha"]),
        (["VALUE:GE:0", "ORIGINNODE:EQ:hostA:EX"], [gamma]),
        (["value:GE:0", "originNode:EQ:hostA:EX"], [gamma]),  # attribute names in any case
    ]
    for conds, expected in cases:
        got = names(agent, conds)
        check(got == expected, "rows where %s -> %s" % (" and ".join(conds), got if got != expected else "as expected"))

    status, j = agent.get_json("/v1/tables/QMXHTB/rows?where=KIND:EQ:y&where=COUNT:GT:1")
    check(status == 200 and [r["kind"] for r in j["rows"]] == ["y"], "second table, text and integer conditions")

    for path, code in [("/v1/tables/NOSUCH/rows", 404), ("/nothing", 404),
                       ("/v1/tables/QMXHTA/rows?where=VALUE:EQ", 400),
                       ("/v1/tables/QMXHTA/rows?where=VALUE:ZZ:1", 400),
                       ("/v1/tables/QMXHTA/rows?where=val-ue:EQ:1", 400),
                       ("/v1/tables/QMXHTA/rows?where=VALUE:EQ:abc", 400),
                       ("/v1/tables/QMXHTA/rows?where=NAME:EQ:%zz", 400),
                       ("/v1/tables/QMXHTA/rows?where=NAME:EQ:%", 400),
                       ("/v1/tables/QMXHTA/rows?" + "&".join(["where=VALUE:GE:0"] * 40), 400)]:
        status, hdrs, body = agent.get(path)
        check(status == code and b'"error"' in body and hdrs.get("Content-Type") == "application/json",
              "%s answers %d with a JSON error (got %d)" % (path[:70], code, status))

    # Hostile requests: each gets its error and the agent serves on.
    hostile = [
        (b"GET /v1/tables/QMXHTA/rows?" + b"a" * 9000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", (414,), "request line over 8 KiB"),
        (b"GET /?" + b"q" * 100000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", (414,), "100 KB query string"),
        (b"GET / HTTP/1.1\r\nHost: x\r\n" + b"".join(b"X-F%d: v\r\n" % i for i in range(150)) + b"\r\n", (431,), "150 header fields"),
        (b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 20000 + b"\r\n\r\n", (431,), "20 KB header"),
        (b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 30000 + b"\r\n\r\n", (431,), "30 KB header line"),
        (b"GET / HTTP/1.1\r\nX-Big: " + b"b" * 100000 + b"\r\nHost: x\r\n\r\n", (431,), "100 KB first header line"),
        (b"GET /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\nxx", (413,), "large body"),
        (b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", (405,), "POST"),
        (b"HELLO THERE\r\n\r\n", (400,), "not HTTP"),
        (b"GET /healthz HTTP/1.1\r\nBad Header\r\n\r\n", (400,), "malformed header line"),
        (b"\x00\xff\x16\x03\x01garbage\r\n\r\n", (400,), "binary junk"),
        (b"GET /v1/tables/QMX%G0/rows HTTP/1.1\r\nHost: x\r\n\r\n", (400,), "invalid percent-encoding in the path"),
    ]
    for data, codes, what in hostile:
        code = raw(port, data)
        check(code in codes, "%s answers %s (got %d)" % (what, codes, code))
    check(agent.get("/healthz")[0] == 200 and agent.alive(), "agent serves on after hostile requests")

    # A slow client with half a request holds only its own connection, then is timed out.
    slow = socket.create_connection(("127.0.0.1", port), timeout=15)
    slow.sendall(b"GET /metrics HTTP/1.1\r\nHo")
    t0 = time.time()
    check(agent.get("/healthz")[0] == 200, "others are served while a client sends half a request")
    reply = b""
    try:
        while True:
            chunk = slow.recv(4096)
            if not chunk:
                break
            reply += chunk
    except OSError:
        pass
    slow.close()
    waited = time.time() - t0
    check(reply.startswith(b"HTTP/1.1 408") and 1.0 <= waited <= 10, "half a request is answered 408 after the read timeout (%.1f s)" % waited)

    # Connections beyond the limit are told 503; served again once the others go. On a loaded
    # machine the server may take a moment to accept all 16, and sessions of the requests above
    # may still hold places (some of ours are then told 503 and closed): ask again, and begin
    # afresh with 16 new connections when the first ones did not hold.
    code = 0
    for _ in range(3):
        idle = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(16)]
        for _ in range(8):
            time.sleep(0.25)
            code = raw(port, b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
            if code == 503:
                break
        for s in idle:
            s.close()
        if code == 503:
            break
        time.sleep(3)  # longer than the read timeout and the closing of the sessions above
    check(code == 503, "a 17th connection is answered 503 (got %d)" % code)
    ok = False
    deadline = time.time() + 10
    while time.time() < deadline and not ok:
        try:
            ok = agent.get("/healthz", timeout=5)[0] == 200
        except OSError:
            pass
        time.sleep(0.2)
    check(ok, "served again once the connections are closed")

    # The scheduler's sample in the exposition.
    text = ""
    deadline = time.time() + 20
    while time.time() < deadline and 'qmx_table_rows{table="QMXHTB"} 2' not in text:
        status, hdrs, body = agent.get("/metrics")
        text = body.decode("utf-8")
        time.sleep(0.3)
    check(hdrs.get("Content-Type", "").startswith("text/plain; version=0.0.4"), "exposition content type")
    check('qmx_qmxhta_value{originnode="hostA:EX",name="alpha",label="one"} -5' in text, "gauge line with labels")
    check('qmx_qmxhta_avail{originnode="hostB:EX"' not in text, "not-available marker left out")
    check('qmx_table_rows{table="QMXHTB"} 2' in text, "per-table sample statistics")

    # Keep-alive: several requests on one connection.
    import http.client
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    codes = []
    for _ in range(5):
        c.request("GET", "/healthz")
        r = c.getresponse()
        r.read()
        codes.append(r.status)
    c.close()
    check(codes == [200] * 5, "keep-alive connection serves several requests")


def main():
    _, command = agent_command(sys.argv)

    with Agent(command) as agent:
        serving_tests(agent)
        rc = agent.stop()
        check(rc == 0, "agent ends on request with status 0 (got %s)" % rc)

    # Off loopback without a token: refuse to serve, say why, keep the agent running.
    port = free_port()
    with Agent(command, env={"PXR_HTTP_ADDRESS": "0.0.0.0:%d" % port, "PXR_HTTP_TOKEN": ""}, wait=False) as agent:
        said = agent.wait_stderr("PXR_HTTP_TOKEN is not set")
        check(said, "off loopback without a token the agent refuses and says why")
        agent.port = port
        try:
            agent.get("/healthz", timeout=2)
            refused = False
        except OSError:
            refused = True
        check(refused and agent.alive(), "nothing listens, the agent runs on")
        check(agent.stop() == 0, "and ends normally")

    port = free_port()
    with Agent(command, env={"PXR_HTTP_ADDRESS": "0.0.0.0:%d" % port, "PXR_HTTP_TOKEN": "t0ken-42"}, wait=False) as agent:
        agent.port = port
        agent.wait_serving()
        check(agent.get("/healthz")[0] == 401, "off loopback a request without the token gets 401")
        check(agent.get("/metrics", {"Authorization": "Bearer wrong"})[0] == 401, "a wrong token gets 401")
        status, hdrs, body = agent.get("/v1/tables", {"Authorization": "Bearer t0ken-42"})
        check(status == 200 and b"QMXHTA" in body, "the right token is served")

    return summary()


if __name__ == "__main__":
    sys.exit(main())
