#!/usr/bin/python3
"""qmb-station's page in a real headless Chromium (Debian's chromium and
chromedriver, through Selenium) against a station on simulated slots.

Usage: page_test.py BUILD_DIR
"""

import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stationlab  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402

BUILD = None
HOSTILE = '<img src=x onerror="window.__xss=1"><script>window.__xss=2</script>'


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fx = stationlab.Fixture(BUILD, 2, station_args=["--lockout", "2", "--operator", HOSTILE,
                                                            "--station", "line-1 <b>st</b>"])
        cls.st = cls.fx.station
        try:
            cls.driver = stationlab.chromium()
            cls.driver.get(cls.st.url)
        except BaseException:
            cls.fx.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.fx.close()

    def tile(self, slot, part):
        return self.driver.find_element(By.CSS_SELECTOR, f'article.tile[data-slot="{slot}"] .{part}')

    def text_of(self, slot, part):
        return self.tile(slot, part).text

    def wait_text(self, slot, part, test, timeout, what):
        return stationlab.wait_until(lambda: test(self.text_of(slot, part)), timeout, what=what)

    def test_1_tiles_change_live_as_boards_pass_and_fail(self):
        d = self.driver
        stationlab.wait_until(lambda: d.find_element(By.ID, "link-state").text == "live", 10,
                              what="the change feed")
        d.execute_script("window.__sameLoad = 42")
        self.wait_text("A", "last", lambda t: "PASS" in t, 6, what="a pass on A")
        # A phase other than waiting shows up while a board is programmed.
        phases = set()
        end = time.monotonic() + 2.6
        while time.monotonic() < end:
            phases.add(self.text_of("A", "phase"))
            time.sleep(0.05)
        self.assertIn("waiting for ignition", phases)
        self.assertTrue(phases & {"pause", "writing", "committing", "verifying"}, phases)

        passed = self.st.slot("A")["passed"]
        self.fx.sim("A").control("fault miswrite 3 count 1")
        self.wait_text("A", "last", lambda t: "FAIL" in t, 6, what="a failure on A")
        self.assertIn("verify failed: 1 of 8 bytes", self.text_of("A", "reason"))
        self.assertIn("1 failed", self.text_of("A", "totals"))
        self.wait_text("A", "last", lambda t: "PASS" in t, 6, what="A passing again")
        self.assertGreater(self.st.slot("A")["passed"], passed)
        self.assertEqual(d.execute_script("return window.__sameLoad"), 42, "updated without reload")
        # The totals and the records follow.
        stationlab.wait_until(lambda: d.find_element(By.ID, "t-fails").text == "1", 5,
                              what="the totals")
        bars = d.find_elements(By.CSS_SELECTOR, "#pareto rect.bar")
        self.assertEqual([b.get_attribute("data-code") for b in bars], ["verify_mismatch"])

    def test_2_lockout_and_acknowledgement(self):
        d = self.driver
        self.fx.sim("B").control("fault miswrite 3 count 2")
        self.wait_text("B", "lock", lambda t: t == "locked: 2 failures in a row, last: verify mismatch",
                       8, what="B locked")
        ack = self.tile("B", "ack")
        self.assertTrue(ack.is_displayed())
        self.assertFalse(self.tile("B", "start").is_enabled(), "no start while locked")
        self.assertTrue(self.tile("A", "start").is_enabled() is False, "A still runs")
        ack.click()
        form = d.find_element(By.ID, "token-form")
        stationlab.wait_until(form.is_displayed, 3, what="the token form")
        d.find_element(By.ID, "token-input").send_keys("0" * 64)
        form.submit()
        stationlab.wait_until(lambda: "wrong token" in d.find_element(By.ID, "token-why").text, 3,
                              what="the wrong token refused")
        self.assertTrue(self.st.slot("B")["locked"])
        d.find_element(By.ID, "token-input").send_keys(self.st.token)
        form.submit()
        self.wait_text("B", "lock", lambda t: t == "", 3, what="B acknowledged")
        self.assertFalse(self.st.slot("B")["locked"])
        start = self.tile("B", "start")
        stationlab.wait_until(start.is_enabled, 3, what="start enabled")
        start.click()
        self.wait_text("B", "phase", lambda t: t == "waiting for ignition", 4, what="B running")
        self.wait_text("B", "last", lambda t: "PASS" in t, 6, what="B passing again")
        # Stop and start with the kept token: no question asked.
        self.tile("A", "stop").click()
        self.wait_text("A", "phase", lambda t: t == "stopped", 4, what="A stopped")
        self.assertFalse(form.is_displayed())
        self.tile("A", "start").click()
        self.wait_text("A", "phase", lambda t: t != "stopped", 4, what="A started")

    def test_3_record_values_are_text_not_markup(self):
        d = self.driver
        stationlab.wait_until(lambda: d.find_elements(By.CSS_SELECTOR, "#records td.operator"), 5,
                              what="records shown")
        # Read in one go: the list is redrawn as boards come.
        cells = d.execute_script(
            "return Array.from(document.querySelectorAll('#records td.operator'), td => td.textContent)")
        self.assertTrue(cells and all(c == HOSTILE for c in cells), cells[:2])
        self.assertIn("operator " + HOSTILE, d.find_element(By.ID, "run-info").text)
        self.assertEqual(d.find_element(By.ID, "station-name").text, "line-1 <b>st</b>")
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, "main img, main script, header b"), [])
        self.assertIsNone(d.execute_script("return window.__xss"))
        # The search narrows the list: failures only.
        d.find_element(By.CSS_SELECTOR, "#f-result option[value=fail]").click()
        d.find_element(By.CSS_SELECTOR, "#record-filter button[type=submit]").click()
        results = "return Array.from(document.querySelectorAll('#records tbody td:nth-child(4)'), td => td.textContent)"
        stationlab.wait_until(lambda: d.execute_script(results) == ["fail"] * 3, 4,
                              what="only the 3 failures listed")

    def test_4_browsers_come_and_go_and_the_page_survives_a_restart(self):
        d = self.driver
        main = d.current_window_handle
        for _ in range(4):
            d.switch_to.new_window("tab")
            d.get(self.st.url)
            stationlab.wait_until(lambda: d.find_element(By.ID, "link-state").text == "live", 8,
                                  what="a new tab live")
            d.close()
            d.switch_to.window(main)
        # Feeds cut off abruptly, mid-stream.
        for _ in range(20):
            with socket.create_connection(("127.0.0.1", self.st.port), timeout=3) as s:
                s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
                s.recv(100)
        before = self.st.slot("A")["boards"]
        stationlab.wait_until(lambda: self.st.slot("A")["boards"] > before, 5, what="A going on")

        self.assertEqual(self.st.stop(), 0, "SIGTERM ends it cleanly with pages connected")
        stationlab.wait_until(lambda: d.find_element(By.ID, "link-state").text == "reconnecting", 5,
                              what="the page noticing")
        time.sleep(1.5)
        self.st.start()
        stationlab.wait_until(lambda: d.find_element(By.ID, "link-state").text == "live", 8,
                              what="the page reconnected by itself")
        self.wait_text("A", "totals", lambda t: t.startswith("0 boards") or t.startswith("1 boards"), 3,
                       what="the new run's counts")
        self.wait_text("A", "last", lambda t: "PASS" in t, 6, what="boards on the new run")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
