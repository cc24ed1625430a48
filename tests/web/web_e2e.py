#!/usr/bin/env python3
"""End-to-end tests of the station's web server: the real kelvora-upgrader
--station --web with box emulators, driven over plain HTTP as line software
or a careless client would.

    web_e2e.py --cli PATH --emulator PATH [unittest args]
"""

import argparse
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import time
import unittest
from contextlib import ExitStack

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
import station_e2e  # noqa: E402
from station_e2e import StationCase, StationProcess, fill  # noqa: E402

WAIT = 60  # a hang guard, not a timing
METRIC = re.compile(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$')


class Web:
    """Plain HTTP to the station at host:port; every answer as (status, body),
    the body parsed when it is JSON."""

    def __init__(self, host, port):
        self.host, self.port = host, port

    def request(self, method, path, headers=None, body=None):
        conn = http.client.HTTPConnection(self.host, self.port, timeout=WAIT)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            data = response.read().decode()
            if response.getheader("Content-Type", "").startswith("application/json"):
                return response.status, json.loads(data)
            return response.status, data
        finally:
            conn.close()

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
        match = re.match(rb"HTTP/1\.1 (\d{3}) ", answer)
        return int(match[1]) if match else None

    def slots_until(self, done):
        """Polls /api/station until done(slots) holds; gives the state. A
        connection closed unanswered (over the server's limit) is tried again."""
        deadline = time.monotonic() + WAIT
        state = None
        while time.monotonic() < deadline:
            try:
                status, state = self.get("/api/station")
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


class WebCase(StationCase):
    def web_station(self, stack, ports, *extra):
        station = self.station(stack, ports, *extra)
        match = station.wait_for(r"^web: http://([0-9.]+):(\d+)/$")
        return station, Web(match[1], int(match[2]))


class ApiTests(WebCase, unittest.TestCase):
    def test_every_api_row_and_starts_through_the_api_flash_boxes(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[], ["--baud", "57600"], []])
            ports = [box.port for box, _ in boxes]
            station, web = self.web_station(stack, ports, "--web", "0", "--target", "5")

            status, state = web.get("/api/station")
            self.assertEqual(status, 200)
            self.assertEqual((state["name"], state["mode"], state["target"]), ("bench-7", "station", {"boxes": 5, "left": 5}))
            self.assertEqual(state["image"]["bytes"], len(self.data))
            self.assertEqual(state["totals"], {"completed": 0, "failed": 0, "running": 0, "yield": None,
                                               "boxes_per_hour": None})
            self.assertEqual([(s["slot"], s["key"], s["port"], s["state"], s["phase"], s["adapter"]["kind"])
                              for s in state["slots"]],
                             [(1, "1", ports[0], "ready", "ready", "virtual"),
                              (2, "2", ports[1], "ready", "ready", "virtual"),
                              (3, "3", ports[2], "ready", "ready", "virtual")])
            self.assertEqual(web.get("/api/records"), (200, []))

            self.assertEqual(web.post("/api/slots/1/start"), (202, {"slot": 1, "run": 1}))
            self.assertEqual(web.post("/api/start"), (202, {"started": [2, 3]}))
            status, body = web.post("/api/slots/2/start")
            self.assertEqual((status, body["error"]), (409, "slot 2 is running; not started again"))
            sending = web.slots_until(lambda slots: slots[1]["rate"] is not None)["slots"][1]
            self.assertEqual(sending["phase"], "sending")
            self.assertGreater(sending["seconds_left"], 0)
            self.assertEqual(web.post("/api/slots/2/stop"), (202, {"slot": 2}))
            state = web.slots_until(lambda slots: all(s["state"] == "ended" for s in slots))
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
            self.assertEqual(state["target"], {"boxes": 5, "left": 3})
            self.assertEqual([(s["end"], s["phase"], s["completed"], s["failed"]) for s in state["slots"]],
                             [("completed", "completed", 1, 0), ("cancelled", "failed", 0, 1),
                              ("completed", "completed", 1, 0)])
            self.assertEqual(state["slots"][0]["message"][:22], "Download Complted !!! ")

            status, console = web.get("/api/slots/1/console")
            self.assertEqual((status, console["slot"]), (200, 1))
            self.assertIn("boot loader", console["console"])

            with open(self.record) as f:
                lines = [json.loads(line) for line in f]
            self.assertEqual(web.get("/api/records"), (200, lines[::-1]))
            self.assertEqual(web.get("/api/records?limit=1"), (200, lines[-1:]))
            for limit in ("0", "1001", "x", ""):
                self.assertEqual(web.get("/api/records?limit=" + limit)[0], 400, limit)

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
            station, web = self.web_station(stack, [boxes[0][0].port], "--web", "0")
            for path, kind, text in [("/", "text/html", '<script src="/page.js">'),
                                     ("/page.css", "text/css", ".tile"),
                                     ("/page.js", "text/javascript", 'new EventSource("/events")')]:
                conn = http.client.HTTPConnection(web.host, web.port, timeout=WAIT)
                conn.request("GET", path)
                response = conn.getresponse()
                self.assertEqual((response.status, response.getheader("Content-Type").split(";")[0]), (200, kind))
                self.assertIn(text, response.read().decode())
                conn.close()
            self.assertEqual(web.post("/")[0], 405)
            self.assertEqual(web.post("/events")[0], 405)

            events = http.client.HTTPConnection(web.host, web.port, timeout=WAIT)
            events.request("GET", "/events")
            stream = events.getresponse()
            self.assertEqual((stream.status, stream.getheader("Content-Type")), (200, "text/event-stream"))
            states = []
            while not states or states[-1]["slots"][0]["end"] != "completed":
                line = stream.readline().decode()
                self.assertTrue(line, "the event stream ended")
                if line.startswith("data: "):
                    states.append(json.loads(line[6:]))
                    if len(states) == 1:
                        self.assertEqual(states[0], web.get("/api/station")[1])
                        self.assertEqual(web.post("/api/slots/1/start")[0], 202)
            events.close()
            self.assertIn("running", [state["slots"][0]["state"] for state in states])
            self.assertEqual(states[-1]["totals"]["completed"], 1)
            station.send("quit")
            status, out, err = station.finish()
            boxes[0][0].finish()
        self.assertEqual(status, 0, out + err)

    def test_changing_requests_need_the_token_and_the_station_own_origin(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[]])
            station, web = self.web_station(stack, [boxes[0][0].port], "--web", "127.0.0.1:0",
                                            "--web-token", "s3cret")
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
            self.assertEqual(web.get("/api/station")[0], 200)
            # A person opens the URL with the token: the page's cookie then
            # carries it, and the address loses it.
            self.assertEqual(web.get("/?token=wrong")[0], 401)
            conn = http.client.HTTPConnection(web.host, web.port, timeout=WAIT)
            conn.request("GET", "/?token=s3cr%65t")
            landing = conn.getresponse()
            self.assertEqual((landing.status, landing.getheader("Location")), (303, "/"))
            cookie = landing.getheader("Set-Cookie")
            self.assertRegex(cookie, r"^kelvora_token=\w+; Path=/; HttpOnly; SameSite=Strict$")
            conn.close()
            self.assertEqual(web.post("/api/slots/1/start", {"Cookie": "kelvora_token=00"})[0], 401)
            self.assertEqual(web.post("/api/slots/1/start", {"Cookie": "a=b; " + cookie.split(";")[0], "Origin": own}),
                             (202, {"slot": 1, "run": 1}))
            web.slots_until(lambda slots: slots[0]["end"] == "completed")
            station.send("quit")
            status, out, err = station.finish()
            self.assertEqual(boxes[0][0].finish()["verdict"], "completed")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(len(self.records()), 1)

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

    def test_careless_clients_get_4xx_while_a_transfer_goes_on(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--baud", "57600"]])
            station, web = self.web_station(stack, [boxes[0][0].port], "--web", "0")
            self.assertEqual(web.post("/api/slots/1/start")[0], 202)
            web.slots_until(lambda slots: slots[0]["sent"] > 0)
            host = f"Host: 127.0.0.1:{web.port}\r\n".encode()
            for data, wanted in [(b"GARBAGE\r\n\r\n", 400),
                                 (b"GET /api/station HTTP/9.9\r\n\r\n", 400),
                                 (b"GET /api/station HTTP/1.1\r\n" + host + b"X-Big: " + b"a" * (1 << 20) + b"\r\n\r\n",
                                  431),
                                 (b"POST /api/start HTTP/1.1\r\n" + host + b"Content-Length: 100000\r\n\r\n" +
                                  b"x" * 100000, 413),
                                 (b"GET /api/station HTTP/1.1\r\n" + host + b"Content-Length: -1\r\n\r\n", 400),
                                 (b"GET /%%% HTTP/1.1\r\n" + host + b"Connection: close\r\n\r\n", 404)]:
                self.assertEqual(web.raw(data), wanted, data[:40])
            # A client that sends half a request and goes away.
            with socket.create_connection((web.host, web.port)) as sock:
                sock.sendall(b"GET /api/sta")
            # Idle connections beyond the server's limit are closed at once;
            # once they are gone it answers again.
            with ExitStack() as idle:
                for _ in range(140):
                    idle.enter_context(socket.create_connection((web.host, web.port)))
                self.assertIsNone(web.raw(b"GET /api/station HTTP/1.1\r\n" + host + b"\r\n"))
            web.slots_until(lambda slots: True)
            state = web.slots_until(lambda slots: slots[0]["state"] == "ended")
            self.assertEqual(state["slots"][0]["end"], "completed")
            station.send("quit")
            status, out, err = station.finish()
            self.assertEqual(boxes[0][0].finish()["verdict"], "completed")
        self.assertEqual(status, 0, out + err)
        self.assertTrue(self.saved(boxes[0][1]) == fill(self.data), "saved image differs")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--emulator", required=True)
    known, rest = parser.parse_known_args()
    station_e2e.CLI, station_e2e.EMULATOR = known.cli, known.emulator
    station_e2e.BoxWorkdir.emulator_path = known.emulator
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
