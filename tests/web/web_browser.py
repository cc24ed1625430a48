#!/usr/bin/env python3
"""The station's page in a real browser: headless Chromium through Selenium
against kelvora-upgrader --station --web with four box emulators, clicked as
an operator would. At the end it saves the page, its four tiles in four
states, as station.png in the build folder (scripts/station-screenshot
copies it to docs/).

    web_browser.py --cli PATH --emulator PATH --build-dir DIR [unittest args]
"""

import argparse
import http.server
import json
import os
import re
import sys
import threading
import unittest
from contextlib import ExitStack

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
import station_e2e  # noqa: E402
from web_e2e import WebCase  # noqa: E402

WAIT = 60  # a hang guard, not a timing
SHOT = None  # where the picture goes: BUILD/station.png


class BrowserTests(WebCase, unittest.TestCase):
    image_size = 100 * 1024  # the slow box is still sending when the picture is taken

    def browser(self, stack):
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,720"):
            options.add_argument(arg)
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        stack.callback(self.driver.quit)
        # The picture's size, whatever the window's frame takes.
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1280, "height": 720, "deviceScaleFactor": 1, "mobile": False})

    def until(self, what, check):
        """Waits until check() gives something true; gives that."""
        wait = WebDriverWait(self.driver, WAIT, poll_frequency=0.1,
                             ignored_exceptions=(NoSuchElementException, StaleElementReferenceException))
        return wait.until(lambda _: check(), message=what)

    def part(self, slot, name):
        return self.driver.find_element(By.CSS_SELECTOR, f"#slot-{slot} .{name}")

    def text(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector).text

    def phases(self):
        return [tile.find_element(By.CSS_SELECTOR, ".phase").text
                for tile in self.driver.find_elements(By.CSS_SELECTOR, ".tile")]

    def framing_site(self, stack, url):
        """Another site (another port of this host) whose page frames url, as
        a clickjacking page does, at 30 % opacity; gives its address."""
        page = f'<!DOCTYPE html><iframe id="victim" src="{url}" width="1200" height="650" style="opacity:0.3"></iframe>'

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write(page.encode())

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        stack.callback(server.server_close)
        stack.callback(server.shutdown)
        return f"http://127.0.0.1:{server.server_address[1]}/"

    def newest_record(self):
        return [cell.text for cell in self.driver.find_elements(By.CSS_SELECTOR, "#records tbody tr:first-child td")]

    def test_an_operator_flashes_stops_and_outlives_a_station_restart(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [
                # Boxes that stay after their run, so that their ports stay.
                ["--serial", "SN-0042", "--sessions", "2"],  # slot 1: flashed, with a double click
                ["--nak-block", "2", "--sessions", "2"],     # slot 2: refuses block 2
                ["--baud", "57600", "--sessions", "2"],    # slot 3: stopped, then sending for the picture
                [],                                        # slot 4: left ready
            ])
            ports = [box.port for box, _ in boxes]
            unit = ("--unit-pattern", r"Board serial: (\S+)")
            station, web = self.web_station(stack, ports, "--web", "0", *unit)
            self.browser(stack)
            self.driver.get(f"http://{web.host}:{web.port}/")
            self.until("four ready tiles", lambda: self.phases() == ["ready"] * 4)
            self.assertEqual([self.part(n, "port").text for n in range(1, 5)], ports)
            self.assertEqual(self.text("#link"), "connected")
            # A refused request leaves its notice.
            self.driver.execute_script("post('/api/slots/9/start')")
            self.until("the refusal", lambda: self.text("#notice") == "/api/slots/9/start: no slot 9")

            # The station goes away and comes back on the same port: the page
            # greys what it no longer knows and disables its buttons
            # meanwhile, then follows the new one by itself, the old notice
            # gone.
            station.send("quit")
            self.assertEqual(station.finish()[0], 0)
            self.until("the page to notice", lambda: self.text("#link") == "cannot reach the station")
            self.assertEqual([b.is_enabled() for b in self.driver.find_elements(By.CSS_SELECTOR, "button")],
                             [False] * 9)
            self.assertLess(float(self.driver.find_element(By.ID, "slots").value_of_css_property("opacity")), 1)
            station, again = self.web_station(stack, ports, "--web", f"127.0.0.1:{web.port}", *unit)
            self.assertEqual(again.port, web.port)
            self.until("the page to reconnect", lambda: self.text("#link") == "connected" and
                       self.part(1, "start").is_enabled())
            self.assertEqual(self.text("#notice"), "")
            self.assertEqual(self.driver.find_element(By.ID, "slots").value_of_css_property("opacity"), "1")

            # Once more, now with a token: the page that knows no token asks
            # for it, as a person opening it would be asked.
            station.send("quit")
            self.assertEqual(station.finish()[0], 0)
            station, again = self.web_station(stack, ports, "--web", f"127.0.0.1:{web.port}", "--web-token", "s3cret",
                                              *unit)
            field = self.until("the token form", lambda: self.driver.find_element(By.NAME, "token"))
            field.send_keys("s3cret")
            field.submit()
            self.until("four tiles again", lambda: self.phases() == ["ready"] * 4)
            self.assertEqual(self.driver.current_url, f"http://{web.host}:{web.port}/")

            # Another site frames the page to borrow a click: the browser
            # shows it no page, so it has no button to press.
            self.driver.get(self.framing_site(stack, f"http://{web.host}:{web.port}/"))
            self.driver.switch_to.frame(self.driver.find_element(By.ID, "victim"))
            self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "button"), [])
            self.driver.switch_to.default_content()
            self.driver.get(f"http://{web.host}:{web.port}/")
            self.until("four tiles again", lambda: self.phases() == ["ready"] * 4)

            # A double click on Start starts the slot once.
            totals = self.text("#totals")
            ActionChains(self.driver).double_click(self.part(1, "start")).perform()
            self.until("slot 1 to complete", lambda: self.part(1, "phase").text == "completed")
            self.assertEqual(self.part(1, "counts").text, "1 ok 0 failed")
            self.assertEqual(self.text("#notice"), "")
            self.assertEqual(self.part(1, "unit").text, "unit SN-0042")
            self.until("the totals to count it", lambda: re.search(r"\bcompleted 1\b", self.text("#totals")))
            self.assertNotEqual(self.text("#totals"), totals)
            self.until("slot 1's record", lambda: self.newest_record()[1:5] == ["1", ports[0], "SN-0042", "completed"])
            self.driver.find_element(By.CSS_SELECTOR, "#records tbody tr:first-child").click()
            shown = json.loads(self.text("#record"))
            self.assertEqual((shown["slot"], shown["port"], shown["end"]), (1, ports[0], "completed"))
            self.driver.find_element(By.CSS_SELECTOR, "#records tbody tr:first-child").click()
            self.until("the record to fold away", lambda: not self.driver.find_element(By.ID, "record").is_displayed())
            self.until("slot 1's console", lambda: "Kelvora HD boot loader menu" in self.part(1, "console").text)

            self.part(2, "start").click()
            message = self.until("slot 2's error", lambda: "Error 31 !!!" in self.part(2, "message").text
                                 and self.part(2, "message"))
            self.assertEqual(self.part(2, "phase").text, "failed")
            red, green, blue = map(int, re.findall(r"\d+", message.value_of_css_property("color"))[:3])
            self.assertTrue(red > 150 and green < 100 and blue < 100, message.value_of_css_property("color"))

            self.part(3, "start").click()
            self.until("slot 3 to send", lambda: self.part(3, "phase").text == "sending")
            self.part(3, "stop").click()
            self.until("slot 3 to stop", lambda: self.part(3, "phase").text == "cancelled")
            self.assertEqual(self.part(3, "counts").text, "0 ok 1 failed")
            self.until("slot 3's record", lambda: self.newest_record()[1:5] == ["3", ports[2], "", "cancelled"])
            # One unit's records, and the link to them as CSV.
            units = lambda: [c.text for c in self.driver.find_elements(By.CSS_SELECTOR, "#records tbody td.unit")]
            self.driver.find_element(By.ID, "unit-filter").send_keys("SN-0042")
            self.until("only unit SN-0042's record", lambda: units() == ["SN-0042"])
            self.assertIn("unit=SN-0042", self.driver.find_element(By.ID, "records-csv").get_attribute("href"))
            self.driver.find_element(By.ID, "unit-filter").clear()
            self.driver.execute_script("document.getElementById('unit-filter').oninput()")
            self.until("every record again", lambda: len(units()) == 3)

            # The same box again after its reboot, sending while the picture is taken.
            self.part(3, "start").click()
            self.until("slot 3 to send again with its rate", lambda: self.part(3, "phase").text == "sending" and
                       re.fullmatch(r"\d+ % · [\d.]+ KiB/s · \d+:\d\d left", self.part(3, "transfer").text))
            self.assertEqual(self.phases(), ["completed", "failed", "sending", "ready"])
            # The bar takes the tile's width.
            bar = self.driver.find_element(By.CSS_SELECTOR, "#slot-3 progress")
            tile = self.driver.find_element(By.ID, "slot-3")
            self.assertGreater(bar.rect["width"], 0.9 * (tile.rect["width"] - 20))
            self.assertEqual(self.text("#notice"), "")
            self.assertTrue(self.driver.save_screenshot(SHOT), SHOT)

    def test_sixteen_tiles_fit_the_screen_and_stack_on_a_phone(self):
        with ExitStack() as stack:
            # Ports nobody answers on: the tiles stay ready.
            ports = []
            for _ in range(16):
                master, slave = os.openpty()
                stack.callback(os.close, master)
                stack.callback(os.close, slave)
                ports.append(os.ttyname(slave))
            station, web = self.web_station(stack, ports, "--web", "0")
            self.browser(stack)
            self.driver.get(f"http://{web.host}:{web.port}/")
            self.until("sixteen ready tiles", lambda: self.phases() == ["ready"] * 16)
            tiles = self.driver.find_elements(By.CSS_SELECTOR, ".tile")
            self.assertLessEqual(max(t.rect["y"] + t.rect["height"] for t in tiles), 720)
            for selector in (".port", ".phase", ".counts"):
                sizes = [float(t.find_element(By.CSS_SELECTOR, selector).value_of_css_property("font-size")[:-2])
                         for t in tiles]
                self.assertGreaterEqual(min(sizes), 11, selector)
            self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                        {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
            self.until("the tiles to stack", lambda: len({t.rect["x"] for t in
                                                           self.driver.find_elements(By.CSS_SELECTOR, ".tile")}) == 1)
            tile = self.driver.find_element(By.CSS_SELECTOR, ".tile")
            self.assertLessEqual(tile.rect["x"] + tile.rect["width"], 390)
            station.send("quit")
            self.assertEqual(station.finish()[0], 0)


if __name__ == "__main__":
    station_e2e.CLI, station_e2e.EMULATOR, rest = station_e2e.e2e_paths()
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    known, rest = parser.parse_known_args(rest)
    SHOT = os.path.join(known.build_dir, "station.png")
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
