#!/usr/bin/env python3
"""End-to-end tests of the station's web server: the real kelvora-upgrader
--station --web with box emulators, driven over plain HTTP as line software
or a careless client would.

    web_e2e.py --cli PATH --emulator PATH [unittest args]
"""

import base64
import http.client
import json
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
import station_e2e  # noqa: E402
from station_e2e import StationCase, StationProcess, fill  # noqa: E402

WAIT = 60  # a hang guard, not a timing
PROMETHEUS = "/usr/bin/prometheus"
PROMTOOL = "/usr/bin/promtool"
PROMETHEUS_WAIT = 90  # a hang guard: start-up, scrapes and the query
# The scrape configuration the README shows, with the stations' addresses.
PROMETHEUS_CONFIG = """\
scrape_configs:
  - job_name: kelvora
    scrape_interval: 1s
    scrape_timeout: 1s
    authorization:
      type: Bearer
      credentials_file: {token_file}
    static_configs:
      - targets: [{targets}]
"""
METRIC = re.compile(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$')


class Web:
    """Plain HTTP to the station at host:port; every answer as (status, body),
    the body parsed when it is JSON."""

    def __init__(self, host, port):
        self.host, self.port = host, port

    def answer(self, method, path, headers=None, body=None):
        """The whole answer: (status, headers, body), the body parsed when
        it is JSON."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=WAIT)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            data = response.read().decode()
            if response.getheader("Content-Type", "").startswith("application/json"):
                data = json.loads(data)
            return response.status, response.headers, data
        finally:
            conn.close()

    def request(self, method, path, headers=None, body=None):
        status, _, data = self.answer(method, path, headers, body)
        return status, data

    def get(self, path):
        return self.request("GET", path)

    def post(self, path, headers=None):
        return self.request("POST", path, headers)

    def raw(self, data):
        """Sends bytes as they are; gives the status of the answer, or None
        when the connection closed without one."""
        with socket.create_connection((self.host, self.port), timeout=WAIT) as sock:
            try:
                sock.sendall(data)
            except (BrokenPipeError, ConnectionResetError):
                pass
            answer = b""
            try:
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    answer += chunk
            except ConnectionResetError:
                pass
        return status_of(answer)

    def trickle(self, data):
        """Sends data a byte a second until the server answers or closes;
        gives the status, or None when it closed without an answer."""
        answer = b""
        with socket.create_connection((self.host, self.port), timeout=WAIT) as sock:
            try:
                for byte in data:
                    sock.sendall(bytes([byte]))
                    if select.select([sock], [], [], 1)[0]:
                        break
                answer = sock.recv(65536)
            except (BrokenPipeError, ConnectionResetError):
                pass
        return status_of(answer)

    def reachable(self):
        try:
            socket.create_connection((self.host, self.port), timeout=5).close()
            return True
        except OSError:
            return False

    def events(self, path="/events", headers=None):
        """Reads path as an event stream: yields each message as (id, event,
        data), event None for a state, data parsed."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=WAIT)
        try:
            conn.request("GET", path, headers=headers or {})
            stream = conn.getresponse()
            assert (stream.status, stream.getheader("Content-Type")) == (200, "text/event-stream"), stream.status
            assert stream.getheader("X-Frame-Options") == "DENY"
            message = {}
            for line in stream:
                line = line.decode().rstrip("\n")
                if not line:
                    if "data" in message:
                        yield int(message["id"]), message.get("event"), json.loads(message["data"])
                    message = {}
                elif not line.startswith(":"):
                    name, _, value = line.partition(": ")
                    message[name] = value
        finally:
            conn.close()

    def slots_until(self, done, headers=None):
        """Polls /api/station until done(slots) holds; gives the state. A
        connection closed unanswered (over the server's limit) is tried again."""
        deadline = time.monotonic() + WAIT
        state = None
        while time.monotonic() < deadline:
            try:
                status, state = self.request("GET", "/api/station", headers)
            except ConnectionError:
                status = None
            if status == 200 and done(state["slots"]):
                return state
            time.sleep(0.1)
        raise AssertionError(f"station never reached the state wanted: {state}")

    def metrics(self):
        status, text = self.get("/metrics")
        assert status == 200, status
        samples = {}
        for line in text.splitlines():
            if line.startswith("#"):
                continue
            name, labels, value = METRIC.match(line).groups()
            samples[(name, labels or "")] = float(value)
        return samples


def status_of(answer):
    match = re.match(rb"HTTP/1\.1 (\d{3}) ", answer)
    return int(match[1]) if match else None


def address_off_loopback():
    """An IPv4 address of this machine other than loopback, or None: the one
    a UDP socket would send from (connecting it sends nothing), else the
    first from hostname -I."""
    found = []
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.connect(("10.255.255.255", 9))
            found.append(udp.getsockname()[0])
    except OSError:
        pass
    try:
        found += subprocess.run(["hostname", "-I"], capture_output=True, text=True, timeout=10).stdout.split()
    except (OSError, subprocess.SubprocessError):
        pass
    return next((a for a in found if re.fullmatch(r"[0-9.]+", a) and a.split(".")[0] not in ("0", "127")), None)


def hostile_rows(web, far, token):
    """Bad requests as (kind, the Web that sends it, bytes, answers taken
    as right; None for a connection closed unanswered). A request that
    parses asks for the connection to close after its answer; the changing
    ones carry the right token where something else is wrong, so that one
    let through would stop or restart the transfer under way. Far is the
    station reached through an address other than loopback, or None."""
    def request(line, *headers, host=f"{web.host}:{web.port}", body=b""):
        lines = [line, *([f"Host: {host}"] if host is not None else []), "Connection: close", *headers]
        return ("\r\n".join(lines) + "\r\n\r\n").encode() + body

    bearer = f"Authorization: Bearer {token}"
    changing = ["POST /api/start", "POST /api/slots/1/stop", "POST /api/slots/1/start"]
    reading = ["GET /api/station", "GET /api/records", "GET /api/slots/1/console", "GET /metrics", "GET /",
               "GET /page.js", f"GET /?token={token}", "GET /events", "HEAD /api/station"]
    big = 1 << 20
    chunk = b"4000\r\n" + b"x" * 0x4000 + b"\r\n"
    rows = []

    def add(kind, answers, requests, through=web, times=1):
        rows.extend((kind, through, data, answers) for data in requests * times)

    add("malformed request", {400}, [
        b"GARBAGE\r\n\r\n", b"GET\r\n\r\n", b"GET /api/station\r\n\r\n", b"GET /api/station HTTP/9.9\r\n\r\n",
        b"GET  /api/station HTTP/1.1\r\n\r\n", b"GET /api/station HTTP/1.1 more\r\n\r\n", b"\x00\x01\x02\r\n\r\n",
        b"GET /api/station HTTP/1.1\n\n", b"GET /a b HTTP/1.1\r\n\r\n", b"\r\n\r\n",
        b"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03" + bytes(32) + b"\r\n\r\n",  # a TLS hello
        request("GET /api/station HTTP/1.1", "NoColon"),
        request("GET /api/station HTTP/1.1", "Content-Length: -1"),
        request("GET /api/station HTTP/1.1", "Content-Length: 1", "Content-Length: 2", body=b"ab"),
        request("POST /api/start HTTP/1.1", bearer, "Transfer-Encoding: chunked", body=b"zz\r\n"),
    ], times=2)
    add("header of 1 MiB", {431}, [
        request("GET /api/station HTTP/1.1", "X-Big: " + "a" * big),
        request("GET /api/station HTTP/1.1", *[f"X-{i}: {'a' * 60}" for i in range(big // 66)]),
        request("GET /" + "a" * big + " HTTP/1.1"),
        request("POST /api/slots/1/stop HTTP/1.1", bearer, "Cookie: " + "c=1; " * (big // 5)),
    ], times=5)
    add("body over 16 KiB", {413}, [
        request(f"{line} HTTP/1.1", bearer, f"Content-Length: {size}", body=b"x" * size)
        for line in [*changing, "GET /api/station"] for size in (16 * 1024 + 1, 100000)
    ] + [
        request("POST /api/slots/1/stop HTTP/1.1", bearer, "Transfer-Encoding: chunked", body=chunk * 3 + b"0\r\n\r\n"),
        request("POST /api/start HTTP/1.1", bearer, "Content-Length: 99999999999", body=b"x" * 1000),
    ], times=2)
    add("unknown path", {404}, [request(f"GET {path} HTTP/1.1", bearer) for path in [
        "/nothing", "/api", "/api/", "/api/stations", "/API/STATION", "/api/slots", "/api/slots/", "/api/slots/1",
        "/api/slots/1/", "/api/slots/1/flash", "/api/slots/2/console", "/api/slots/0/console", "/api/slots/-1/console",
        "/api/slots/9999999/console", "/api/slots/x/console", "/api/slots/1/console/x", "/../../etc/passwd",
        "/%2e%2e/%2e%2e/etc/passwd", "/api/station/../records", "/index.html", "/page.js/", "/events/x", "/%00",
        "/metrics/", "http://evil.example/api/station", "api/station", "*"]], times=2)
    add("wrong method", {405}, [
        request(f"{method} {path} HTTP/1.1", bearer)
        for method in ["PUT", "DELETE", "PATCH", "OPTIONS", "BREW"]
        for path in ["/api/station", "/api/records", "/metrics", "/api/start", "/api/slots/1/stop",
                     "/api/slots/1/console", "/", "/events"]
    ] + [request(f"{line} HTTP/1.1", bearer) for line in [
        "GET /api/start", "GET /api/slots/1/stop", "GET /api/slots/1/start", "POST /api/station", "POST /metrics",
        "POST /events", "POST /", "POST /api/records", "POST /api/slots/1/console", "GET /api/start?x=1",
        "POST /events?x=1", "HEAD /api/slots/1/stop"]])
    # A query string never changes which method a path takes; HEAD answers
    # as GET, without the body.
    add("HEAD and queries as GET", {200}, [request(f"{line} HTTP/1.1", bearer) for line in [
        "HEAD /", "HEAD /api/station", "HEAD /metrics", "HEAD /events", "HEAD /api/records?limit=1",
        "GET /api/station?x=1", "GET /metrics?x", "GET /page.css?v=2"]])
    add("token missing or wrong", {401}, [
        request(f"{line} HTTP/1.1", *([f"Authorization: {auth}"] if auth else []), *cookies)
        for line in ["GET /api/station", "GET /api/records", "GET /metrics", "GET /events", "GET /api/slots/1/console",
                     "HEAD /api/station", "GET /", "GET /page.js", "GET /?token=wrong"]
        for auth, cookies in [(None, []), ("Bearer wrong", []), (token, []), ("Basic czNjcmV0", []),
                              (None, [f"Cookie: kelvora_token={token.encode().hex()}"]),
                              (None, [f"Cookie: kelvora_{web.port}={token}"])]
    ])
    if far is not None:
        add("token missing or wrong from another address", {401}, [
            request(f"{line} HTTP/1.1", *([f"Authorization: {auth}"] if auth else []), host=f"{far.host}:{far.port}")
            for line in changing
            for auth in [None, "Bearer wrong", "Bearer", f"Bearer {token[:-1]}", f"Bearer {token}2",
                         f"Bearerx {token}", token, "Basic czNjcmV0", f"Bearer {token.upper()}"]
        ], through=far)
    add("foreign Origin", {403}, [
        request(f"{line} HTTP/1.1", bearer, f"Origin: {origin}")
        for line in changing
        for origin in ["http://evil.example", "null", f"http://{web.host}:{web.port}.evil.example",
                       f"https://{web.host}:{web.port}", f"http://localhost:{web.port}", f"http://{web.host}:1"]
    ])
    add("wrong Host", {403}, [
        request(f"{line} HTTP/1.1", bearer, host=host)
        for line in changing + reading
        for host in ["evil.example", "evil.example:80", web.host, f"{web.host}:{web.port}0", f"{web.host}:1", "", None,
                     f"evil.example:{web.port}", f"{web.host}:{web.port}:1", f"user@{web.host}:{web.port}",
                     f"{socket.gethostname()}x:{web.port}", f"x{socket.gethostname()}:{web.port}"]
    ])
    return rows


class EventListener:
    """A client of GET /events on a thread of its own: reads events until
    one shows slot 1's run completed (ended true); a stream the server
    closed is asked for again, as a browser does, until the hang guard.
    first is set at the first event."""

    def __init__(self, web, headers=None):
        self.web = web
        self.headers = headers or {}
        self.first = threading.Event()
        self.ended = False
        self.thread = threading.Thread(target=self._listen, daemon=True)
        self.thread.start()

    def _listen(self):
        deadline = time.monotonic() + WAIT
        while not self.ended and time.monotonic() < deadline:
            conn = http.client.HTTPConnection(self.web.host, self.web.port, timeout=WAIT)
            try:
                conn.request("GET", "/events", headers=self.headers)
                for line in conn.getresponse():
                    if line.startswith(b"data: ") and b'"slots"' in line:
                        self.first.set()
                        slot = json.loads(line[6:])["slots"][0]
                        if (slot["state"], slot["end"]) == ("ended", "completed"):
                            self.ended = True
                            break
            except OSError:
                time.sleep(0.2)
            finally:
                conn.close()
        self.first.set()


def held(pid):
    """The descriptors and threads a process holds."""
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


class WebCase(StationCase):
    def web_station(self, stack, ports, *extra):
        station = self.station(stack, ports, *extra)
        match = station.wait_for(r"^web: http://([0-9.]+):(\d+)/$")
        return station, Web(match[1], int(match[2]))


class ApiTests(WebCase, unittest.TestCase):
    def test_every_api_row_and_starts_through_the_api_flash_boxes(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[], ["--baud", "57600", "--sessions", "2"], []])
            ports = [box.port for box, _ in boxes]
            station, web = self.web_station(stack, ports, "--web", "0", "--target", "5")

            status, state = web.get("/api/station")
            self.assertEqual(status, 200)
            self.assertEqual((state["name"], state["mode"], state["target"]), ("bench-7", "station", {"boxes": 5, "left": 5, "reached": False}))
            self.assertEqual(state["image"]["bytes"], len(self.data))
            self.assertEqual(state["totals"], {"completed": 0, "failed": 0, "running": 0, "yield": None,
                                               "boxes_per_hour": None})
            self.assertEqual([(s["slot"], s["key"], s["port"], s["state"], s["phase"], s["adapter"]["kind"])
                              for s in state["slots"]],
                             [(1, "1", ports[0], "ready", "ready", "virtual"),
                              (2, "2", ports[1], "ready", "ready", "virtual"),
                              (3, "3", ports[2], "ready", "ready", "virtual")])
            self.assertEqual(web.get("/api/records"), (200, {"station": "bench-7", "records": [], "next": None, "end": 0}))

            self.assertEqual(web.post("/api/slots/1/start"), (202, {"slot": 1, "run": 1}))
            self.assertEqual(web.post("/api/start"), (202, {"started": [2, 3]}))
            status, body = web.post("/api/slots/2/start")
            self.assertEqual((status, body["error"]), (409, "slot 2 is running; not started again"))
            sending = web.slots_until(lambda slots: slots[1]["rate"] is not None)["slots"][1]
            self.assertEqual(sending["phase"], "sending")
            self.assertGreater(sending["seconds_left"], 0)
            self.assertEqual(web.post("/api/slots/2/stop"), (202, {"slot": 2}))
            # Ended: a box that rebooted and went away may leave its port lost.
            state = web.slots_until(lambda slots: all(s["end"] and s["state"] != "running" for s in slots))
            self.assertEqual(web.post("/api/slots/2/stop")[0], 409)
            for method, path in [("POST", "/api/slots/4/start"), ("POST", "/api/slots/0/stop"),
                                 ("GET", "/api/slots/4/console"), ("POST", "/api/slots/x/start"),
                                 ("GET", "/api/slots/1/flash"), ("GET", "/nothing")]:
                status, body = web.request(method, path)
                self.assertEqual(status, 404, path)
                self.assertIn("error", body)
            for method, path in [("GET", "/api/start"), ("POST", "/api/station"), ("GET", "/api/slots/1/start"),
                                 ("POST", "/metrics"), ("DELETE", "/api/records")]:
                self.assertEqual(web.request(method, path)[0], 405, path)

            totals = state["totals"]
            self.assertEqual((totals["completed"], totals["failed"], totals["running"], totals["yield"]),
                             (2, 1, 0, 66.7))
            self.assertGreater(totals["boxes_per_hour"], 0)
            self.assertEqual(state["target"], {"boxes": 5, "left": 3, "reached": False})
            # A box that rebooted and went away leaves its port lost; slot 2's
            # box stays, and its stopped run shows as what it is.
            self.assertEqual([(s["end"], s["phase"] if s["state"] == "ended" else "", s["completed"], s["failed"])
                              for s in state["slots"]],
                             [("completed", "completed" if state["slots"][0]["state"] == "ended" else "", 1, 0),
                              ("cancelled", "cancelled", 0, 1),
                              ("completed", "completed" if state["slots"][2]["state"] == "ended" else "", 1, 0)])
            self.assertEqual(state["slots"][0]["message"][:22], "Download Complted !!! ")

            status, console = web.get("/api/slots/1/console")
            self.assertEqual((status, console["slot"]), (200, 1))
            self.assertIn("boot loader", console["console"])

            with open(self.record) as f:
                lines = [json.loads(line) for line in f]
            size = os.path.getsize(self.record)
            # Another station's record in the same file: shown only when
            # every station's are asked for.
            other = {**lines[0], "station": "bench-8", "run": 99}
            with open(self.record, "a") as f:
                f.write(json.dumps(other) + "\n")
            everything = [other] + lines[::-1]
            self.assertEqual(web.get("/api/records"),
                             (200, {"station": "bench-7", "records": lines[::-1], "next": None,
                                    "end": os.path.getsize(self.record)}))
            self.assertEqual(web.get("/api/records?station=bench-8")[1]["records"], [other])
            self.assertEqual(web.get("/api/records?station=%2A")[1]["records"], everything)
            # Paging: a cursor to the older ones, and only what came after an end.
            status, first = web.get("/api/records?limit=2&station=*")
            self.assertEqual((status, first["records"], first["station"]), (200, everything[:2], None))
            rest = web.get(f"/api/records?limit=500&station=*&before={first['next']}")[1]
            self.assertEqual((rest["records"], rest["next"]), (everything[2:], None))
            self.assertEqual(web.get(f"/api/records?station=*&after={size}")[1]["records"], [other])
            self.assertEqual(web.get(f"/api/records?after={size}")[1]["records"], [])
            self.assertEqual(web.get("/api/records?limit=500")[0], 200)
            for query in ("limit=0", "limit=501", "limit=x", "limit=", "before=x", "after=-1", "before="):
                self.assertEqual(web.get("/api/records?" + query)[0], 400, query)
            os.truncate(self.record, size)

            samples = web.metrics()
            self.assertEqual(samples[("kelvora_up", "")], 1)
            self.assertIn(("kelvora_info", 'version="' + state["version"] + '",station="bench-7",image_sha256="' +
                           state["image"]["sha256"] + '"'), samples)
            for port, end in [(ports[0], "completed"), (ports[1], "cancelled"), (ports[2], "completed")]:
                self.assertEqual(samples[("kelvora_downloads_total", f'port="{port}",end="{end}"')], 1)
                self.assertEqual(samples[("kelvora_slot_running", f'port="{port}"')], 0)
            self.assertEqual(samples[("kelvora_downloads_total", f'port="{ports[1]}",end="completed"')], 0)
            self.assertEqual(samples[("kelvora_bytes_sent_total", f'port="{ports[0]}"')], len(fill(self.data)))
            self.assertEqual(samples[("kelvora_transfer_seconds_count", "")], 3)
            self.assertEqual(samples[("kelvora_transfer_seconds_bucket", 'le="+Inf"')], 3)

            station.send("quit")
            status, out, err = station.finish()
            summaries = [box.finish() for box, _ in boxes]
        self.assertEqual(status, 1, out + err)
        self.assertEqual([s["verdict"] for s in summaries], ["completed", "cancelled", "completed"])
        self.assertTrue(self.saved(boxes[0][1]) == fill(self.data), "saved image differs")
        self.assertEqual(sorted((r["slot"], r["end"]) for r in self.records()),
                         [(1, "completed"), (2, "cancelled"), (3, "completed")])

    def test_the_page_and_its_event_stream(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[]])
            # An image whose name is no UTF-8: the state shows U+FFFD for it.
            odd = os.path.join(self.dir, os.fsdecode(b"image-\xff.ssu"))
            os.link(self.image, odd)
            self.image = odd
            # A station name and a port name that are no UTF-8 either: the
            # metrics give U+FFFD for them, and Prometheus's own check passes.
            port = os.path.join(self.dir, os.fsdecode(b"port-\xfe"))
            os.symlink(boxes[0][0].port, port)
            station, web = self.web_station(stack, [port], "--web", "0", "--station-name", os.fsdecode(b"bench-\xff"))
            self.assertEqual(os.path.basename(web.get("/api/station")[1]["image"]["path"]), "image-\ufffd.ssu")
            metrics = web.get("/metrics")[1]
            self.assertIn('station="bench-\ufffd"', metrics)
            self.assertIn('port="' + os.path.join(self.dir, "port-\ufffd") + '"', metrics)
            if os.access(PROMTOOL, os.X_OK):
                check = subprocess.run([PROMTOOL, "check", "metrics"], input=metrics.encode(), capture_output=True,
                                       timeout=WAIT)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            for path, kind, text in [("/", "text/html", '<script src="/page.js">'),
                                     ("/page.css", "text/css", ".tile"),
                                     ("/page.js", "text/javascript", 'new EventSource("/events")'),
                                     ("/api/station", "application/json", "slots"),
                                     ("/nothing", "application/json", "no such path")]:
                status, headers, body = web.answer("GET", path)
                self.assertEqual((status // 100, headers["Content-Type"].split(";")[0]), (2 if path != "/nothing" else 4, kind))
                self.assertIn(text, json.dumps(body) if isinstance(body, dict) else body)
                # No other site may frame the page, and it runs only its own
                # script and style.
                self.assertEqual(headers["X-Frame-Options"], "DENY", path)
                self.assertIn("frame-ancestors 'none'", headers["Content-Security-Policy"], path)
                self.assertIn("script-src 'self'", headers["Content-Security-Policy"], path)
                self.assertIn("style-src 'self'", headers["Content-Security-Policy"], path)
            status, headers, body = web.answer("HEAD", "/")
            self.assertEqual((status, headers["Content-Type"].split(";")[0], body), (200, "text/html", ""))
            self.assertEqual(web.post("/")[0], 405)
            self.assertEqual(web.post("/events")[0], 405)

            # Each event of the station's log with its id, and after them the
            # state as of them under the same id.
            states, ids = [], []
            for event_id, kind, data in web.events("/events?since=0"):
                if kind:
                    ids.append(event_id)
                    continue
                states.append(data)
                if len(states) == 1:
                    first = event_id
                    self.assertEqual(states[0], web.get("/api/station")[1])
                    self.assertEqual(web.post("/api/slots/1/start")[0], 202)
                elif data["slots"][0]["end"] == "completed":
                    break
            self.assertIn("running", [state["slots"][0]["state"] for state in states])
            self.assertEqual(states[-1]["totals"]["completed"], 1)
            self.assertEqual(ids, list(range(first + 1, first + 1 + len(ids))))
            # A client that comes back gets what it missed while the log holds
            # it, and the whole state when it does not (or names no id of its).
            def comeback(path, headers):
                missed = []
                for event_id, kind, data in web.events(path, headers):
                    if kind is None:
                        return missed, event_id, data
                    missed.append((event_id, kind, data.get("slot")))
            for path, headers in [("/events", {"Last-Event-ID": str(first)}), (f"/events?since={first}", {})]:
                missed, last, state = comeback(path, headers)
                self.assertEqual([i for i, _, _ in missed], list(range(first + 1, last + 1)), path)
                self.assertEqual([i for i, _, _ in missed][:len(ids)], ids)
                self.assertLessEqual({("run-started", 1), ("run-ended", 1), ("phase", 1)}, {m[1:] for m in missed})
                self.assertEqual(state["slots"][0]["end"], "completed")
            # More refusals than the log holds push the first ids out.
            refusals = http.client.HTTPConnection(web.host, web.port, timeout=WAIT)
            statuses = set()
            for _ in range(1001):
                refusals.request("POST", "/api/slots/1/stop")
                response = refusals.getresponse()
                response.read()
                statuses.add(response.status)
            refusals.close()
            self.assertEqual(statuses, {409})
            for path, headers in [("/events", {"Last-Event-ID": str(first)}), (f"/events?since={first}", {}),
                                  ("/events", {"Last-Event-ID": "x"}), ("/events", {"Last-Event-ID": str(10**15)})]:
                missed, last, state = comeback(path, headers)
                self.assertEqual((missed, state["totals"]["completed"]), ([], 1), (path, headers))
                self.assertGreaterEqual(last, first + 1001)
            station.send("quit")
            status, out, err = station.finish()
            boxes[0][0].finish()
        self.assertEqual(status, 0, out + err)

    def test_every_request_needs_the_token_and_the_cookie_holds_none_of_it(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[], []])
            station, web = self.web_station(stack, [boxes[0][0].port], "--web", "127.0.0.1:0",
                                            "--web-token", "s3cret")
            # A second station on the same host, whose cookie the browser
            # sends to the first too.
            other, web_b = self.web_station(stack, [boxes[1][0].port], "--web", "127.0.0.1:0",
                                            "--web-token", "tokB-456", "--record", self.record + ".b")
            own = f"http://127.0.0.1:{web.port}"
            bearer = {"Authorization": "Bearer s3cret"}
            for headers, wanted in [({}, 401), ({"Authorization": "Bearer wrong"}, 401),
                                    ({"Authorization": "s3cret"}, 401),
                                    ({**bearer, "Host": "evil.example:80"}, 403),
                                    ({**bearer, "Host": f"evil.example:{web.port}"}, 403),
                                    ({**bearer, "Origin": "http://evil.example"}, 403),
                                    ({**bearer, "Origin": "null"}, 403)]:
                status, body = web.post("/api/slots/1/start", headers)
                self.assertEqual(status, wanted, headers)
                self.assertIn("error", body)
            self.assertEqual(web.post("/api/start", {})[0], 401)
            # Reads need it too; the scheme's name in any case, the host's
            # name in any case.
            self.assertEqual(web.get("/api/station")[0], 401)
            for headers in [bearer, {"Authorization": "bEaReR s3cret"},
                            {**bearer, "Host": f"LOCALHOST:{web.port}"}, {**bearer, "Host": f"localhost:{web.port}"}]:
                self.assertEqual(web.request("GET", "/api/station", headers)[0], 200, headers)
            # A person without the cookie gets a page that asks for the token.
            status, headers, body = web.answer("GET", "/")
            self.assertEqual((status, headers["Content-Type"].split(";")[0]), (401, "text/html"))
            self.assertRegex(body, r'<form method="get" action="/">')
            self.assertEqual(web.get("/?token=wrong")[0], 401)
            self.assertEqual(web.request("GET", "/?token=s3cret", {"Host": "evil.example"})[0], 403)
            # The landing: a cookie named after the station's port, that
            # holds the token in no form, and the address loses the token.
            cookies = {}
            for station_web, token in [(web, "s3cret"), (web_b, "tokB-456")]:
                status, headers, _ = station_web.answer("GET", "/?token=" + urllib.parse.quote(token).replace("e", "%65"))
                self.assertEqual((status, headers["Location"]), (303, "/"))
                match = re.fullmatch(rf"(kelvora_{station_web.port})=(\w+); Path=/; HttpOnly; SameSite=Strict",
                                     headers["Set-Cookie"])
                self.assertTrue(match, headers["Set-Cookie"])
                value = match[2]
                for form in (token, token.encode().hex(), base64.b64encode(token.encode()).decode().rstrip("=")):
                    self.assertNotIn(form.lower(), value.lower())
                cookies[station_web] = match[1] + "=" + value
            self.assertEqual(web.post("/api/slots/1/start", {"Cookie": "kelvora_token=00"})[0], 401)
            self.assertEqual(web.post("/api/slots/1/start", {"Cookie": cookies[web_b]})[0], 401)
            self.assertEqual(web.request("GET", "/", {"Cookie": cookies[web]})[0], 200)
            self.assertEqual(web_b.request("GET", "/", {"Cookie": cookies[web]})[0], 401)
            # Both stations' cookies, and a stale one of the same name before
            # the right one: the one that fits counts.
            stale = f"kelvora_{web.port}=" + "0" * 64
            self.assertEqual(web.post("/api/slots/1/start", {"Cookie": "; ".join([cookies[web_b], stale, cookies[web]]),
                                                             "Origin": own}),
                             (202, {"slot": 1, "run": 1}))
            web.slots_until(lambda slots: slots[0]["end"] == "completed", bearer)
            for each in (station, other):
                each.send("quit")
                status, out, err = each.finish()
                self.assertEqual(status, 0, out + err)
            self.assertEqual(boxes[0][0].finish()["verdict"], "completed")
        self.assertEqual(len(self.records()), 1)

    def test_a_station_on_port_80_takes_the_host_a_browser_sends(self):
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", 80))
            except OSError:
                self.skipTest("port 80 of 127.0.0.1 cannot be bound here")
        with ExitStack() as stack:
            box = self.boxes(stack, [[]])[0][0]
            station, web = self.web_station(stack, [box.port], "--web", "127.0.0.1:80")
            for host in ("127.0.0.1", "127.0.0.1:80", "LOCALHOST"):
                self.assertEqual(web.request("GET", "/api/station", {"Host": host})[0], 200, host)
            self.assertEqual(web.request("GET", "/api/station", {"Host": "127.0.0.1:8080"})[0], 403)
            self.assertEqual(web.post("/api/slots/1/start", {"Host": "127.0.0.1", "Origin": "http://127.0.0.1"}),
                             (202, {"slot": 1, "run": 1}))
            web.slots_until(lambda slots: slots[0]["end"] == "completed")
            station.send("quit")
            self.assertEqual(station.finish()[0], 0)
            self.assertEqual(box.finish()["verdict"], "completed")

    def test_a_batch_shows_the_same_page_without_starts_and_stops(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--baud", "57600"], []])
            proc = subprocess.Popen([station_e2e.CLI, "--yes", "--web", "0", "--port", boxes[0][0].port,
                                     "--port", boxes[1][0].port, self.image], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            stack.callback(proc.kill)
            url = next(line for line in proc.stdout if line.startswith("web: "))
            web = Web("127.0.0.1", int(re.search(r":(\d+)/$", url)[1]))
            state = web.slots_until(lambda slots: slots[0]["phase"] == "sending")
            self.assertEqual((state["mode"], len(state["slots"])), ("batch", 2))
            for path in ("/api/start", "/api/slots/1/stop", "/api/slots/2/start"):
                status, body = web.post(path)
                self.assertEqual((status, body["error"]), (409, "this is a batch: it starts and stops its boxes itself"))
            self.assertIn("Start all ready", web.get("/")[1])
            out, err = proc.communicate(timeout=WAIT)
            summaries = [box.finish() for box, _ in boxes]
        self.assertEqual(proc.returncode, 0, out + err)
        self.assertEqual([s["verdict"] for s in summaries], ["completed", "completed"])

    def test_wrong_web_options_and_a_place_that_cannot_serve_exit_2(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        with taken, ExitStack() as stack:
            box = self.boxes(stack, [[]])[0][0]
            env = {k: v for k, v in os.environ.items() if k != "KELVORA_WEB_TOKEN"}
            for web, wanted in [(f"127.0.0.1:{taken.getsockname()[1]}", r"cannot serve the web page on 127\.0\.0\.1:"),
                                ("0.0.0.0:0", r"not loopback\) needs a token"),
                                ("station.local:0", r"'station\.local' is not an IP address")]:
                result = subprocess.run([station_e2e.CLI, "--station", "--web", web, "--port", box.port, self.image],
                                        input="", capture_output=True, text=True, timeout=WAIT, env=env)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertRegex(result.stderr, wanted)
                self.assertNotIn("web: http", result.stdout)
            for args, wanted in [(["--web", "8080"], "--web is for --station or a batch"),
                                 (["--station", "--web", "70000"], "--web needs [ADDR:]PORT"),
                                 (["--station", "--web", ":80"], "--web needs [ADDR:]PORT"),
                                 (["--station", "--web-token", "x"], "--web-token is only for --web"),
                                 (["--station", "--web", "0", "--web-token="], "--web-token needs a token")]:
                result = subprocess.run([station_e2e.CLI, *args, "--port", box.port, self.image], input="",
                                        capture_output=True, text=True, timeout=WAIT, env=env)
                self.assertEqual((result.returncode, result.stdout), (2, ""), args)
                self.assertIn(wanted, result.stderr)
            # The token may come from the environment instead.
            env["KELVORA_WEB_TOKEN"] = "from-env"
            proc = subprocess.Popen([station_e2e.CLI, "--station", "--web", "0.0.0.0:0", "--port", box.port,
                                     self.image], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
            stack.callback(proc.kill)
            port = int(re.search(r"web: http://0\.0\.0\.0:(\d+)/", proc.stdout.readline() + proc.stdout.readline())[1])
            web = Web("127.0.0.1", port)
            self.assertEqual(web.post("/api/slots/1/stop")[0], 401)
            self.assertEqual(web.post("/api/slots/1/stop", {"Authorization": "Bearer from-env"})[0], 409)
            proc.communicate("quit\n", timeout=WAIT)
            self.assertEqual(proc.returncode, 0)
            summary = box.finish()
        self.assertEqual(summary["sync_bytes"], 0)

    def test_hostile_clients_get_4xx_and_300_held_connections_lock_nobody_out_while_a_transfer_goes_on(self):
        far_address = address_off_loopback()
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--baud", "38400"]])
            station, bound = self.web_station(stack, [boxes[0][0].port], "--web", "0.0.0.0:0", "--web-token", "s3cret")
            web = Web("127.0.0.1", bound.port)
            bearer = {"Authorization": "Bearer s3cret"}
            alone = held(station.pid)
            far = Web(far_address, web.port) if far_address else None
            far = far if far and far.reachable() else None
            listeners = [EventListener(web, bearer) for _ in range(20)]
            host = f"Host: {web.host}:{web.port}\r\nAuthorization: Bearer s3cret\r\n".encode()

            def never_reads(sock):
                """Asks for events and never reads them, its receive buffer
                as small as the system allows."""
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
                sock.connect((web.host, web.port))
                sock.sendall(b"GET /events HTTP/1.1\r\n" + host + b"\r\n")

            stuck = stack.enter_context(socket.socket())
            never_reads(stuck)
            for listener in listeners:
                listener.first.wait(WAIT)
            self.assertEqual(web.post("/api/slots/1/start", bearer), (202, {"slot": 1, "run": 1}))
            web.slots_until(lambda slots: slots[0]["sent"] > 0, bearer)

            rows = hostile_rows(web, far, "s3cret")
            if far is None:
                with self.subTest(kind="token from another address"):
                    self.skipTest("no address of this machine other than loopback reaches the station")
            # The server drops a request not whole within its time limit: one
            # client sends a byte a second meanwhile.
            with ThreadPoolExecutor(5) as pool:
                slow = pool.submit(web.trickle, b"GET /api/station HTTP/1.1\r\nX-Slow: " + b"." * 40 + b"\r\n\r\n")
                answers = list(pool.map(lambda row: row[1].raw(row[2]), rows))
                self.assertEqual([(kind, data[:80], got) for (kind, _, data, wanted), got in zip(rows, answers)
                                  if got not in wanted], [])
                # A client that sends half a request and goes away.
                with socket.create_connection((web.host, web.port)) as sock:
                    sock.sendall(b"GET /api/sta")
                # 300 clients that hold connections, half asking for events
                # that they never read, half idle: the page, the API and a
                # start still answer.
                with ExitStack() as crowd:
                    for i in range(300):
                        sock = crowd.enter_context(socket.socket())
                        if i % 2:
                            never_reads(sock)
                        else:
                            sock.connect((web.host, web.port))
                    self.assertEqual(web.request("GET", "/", bearer)[0], 200)
                    self.assertEqual(web.request("GET", "/api/station", bearer)[0], 200)
                    self.assertEqual(web.post("/api/start", bearer), (202, {"started": []}))
                got = slow.result(timeout=2 * WAIT)
                self.assertTrue(got is None or 400 <= got < 500, got)

            state = web.slots_until(lambda slots: slots[0]["state"] == "ended", bearer)
            self.assertEqual(state["slots"][0]["end"], "completed")
            self.assertEqual(web.request("GET", "/api/station", bearer)[0], 200)
            for listener in listeners:
                listener.thread.join(WAIT)
            self.assertEqual([listener.ended for listener in listeners], [True] * 20)
            stuck.close()
            # Once every client has gone, the station holds what it held
            # before the first came.
            deadline = time.monotonic() + WAIT
            while held(station.pid) != alone and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertEqual(held(station.pid), alone)
            station.send("quit")
            status, out, err = station.finish()
            self.assertEqual(boxes[0][0].finish()["verdict"], "completed")
        self.assertEqual(status, 0, out + err)
        self.assertTrue(self.saved(boxes[0][1]) == fill(self.data), "saved image differs")
        self.assertEqual([r["end"] for r in self.records()], ["completed"])


@unittest.skipUnless(os.access(PROMETHEUS, os.X_OK), f"{PROMETHEUS} is not installed")
class PrometheusTests(WebCase, unittest.TestCase):
    def test_prometheus_scrapes_the_completed_downloads_of_two_stations(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[]] * 4)
            stations = [self.web_station(stack, [box.port for box, _ in pair], "--web", "0", "--web-token", "s3cret")
                        for pair in (boxes[:2], boxes[2:])]
            bearer = {"Authorization": "Bearer s3cret"}
            targets = [f"{web.host}:{web.port}" for _, web in stations]
            config = os.path.join(self.dir, "prometheus.yml")
            token_file = os.path.join(self.dir, "kelvora.token")
            with open(token_file, "w") as f:
                f.write("s3cret\n")
            with open(config, "w") as f:
                f.write(PROMETHEUS_CONFIG.format(targets=", ".join(f'"{target}"' for target in targets),
                                                 token_file=token_file))
            with socket.socket() as sock:
                sock.bind(("127.0.0.1", 0))
                prometheus_web = Web("127.0.0.1", sock.getsockname()[1])
            log_path = os.path.join(self.dir, "prometheus.log")
            log = stack.enter_context(open(log_path, "w"))
            prometheus = subprocess.Popen([PROMETHEUS, "--config.file", config,
                                           "--storage.tsdb.path", os.path.join(self.dir, "tsdb"),
                                           "--web.listen-address", f"{prometheus_web.host}:{prometheus_web.port}"],
                                          stdout=log, stderr=subprocess.STDOUT)
            stack.callback(prometheus.wait)
            stack.callback(prometheus.kill)

            for _, web in stations:
                self.assertEqual(web.post("/api/start", bearer), (202, {"started": [1, 2]}))
            for _, web in stations:
                state = web.slots_until(lambda slots: all(s["end"] and s["state"] != "running" for s in slots), bearer)
                self.assertEqual([s["end"] for s in state["slots"]], ["completed", "completed"])

            # Per station, named through kelvora_info as the README shows.
            query = urllib.parse.urlencode({"query": 'sum by (instance, station) (kelvora_downloads_total{end="completed"}'
                                                     ' * on (instance) group_left (station) kelvora_info)'})
            wanted = {(target, "bench-7"): 2 for target in targets}
            seen = None
            deadline = time.monotonic() + PROMETHEUS_WAIT
            while seen != wanted and time.monotonic() < deadline and prometheus.poll() is None:
                time.sleep(0.5)
                try:
                    status, answer = prometheus_web.get("/api/v1/query?" + query)
                except OSError:
                    continue  # not listening yet
                if status == 200:
                    seen = {(r["metric"]["instance"], r["metric"]["station"]): float(r["value"][1])
                            for r in answer["data"]["result"]}
            if seen != wanted:
                with open(log_path) as f:
                    self.fail(f"Prometheus gave {seen}, not {wanted}; its log:\n{f.read()[-4000:]}")
            for station, _ in stations:
                station.send("quit")
                self.assertEqual(station.finish()[0], 0)
            self.assertEqual([box.finish()["verdict"] for box, _ in boxes], ["completed"] * 4)
        for box, saved in boxes:
            self.assertTrue(self.saved(saved) == fill(self.data), "saved image differs")


if __name__ == "__main__":
    station_e2e.CLI, station_e2e.EMULATOR, rest = station_e2e.e2e_paths()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
