#!/usr/bin/python3
"""The web page in a real browser: Debian's Chromium, headless, through its WebDriver, against the
real program on the simulated sky in a temporary home. The live picture changes, the events the
station recorded are listed, an event's movie plays, and the night the station summarised shows
its keogram. With --screenshots DIR it also saves the status, events and event pages there.

    /usr/bin/python3 tests/web/browser_test.py --binary build/src/app/ombrix [--screenshots docs]
"""

import argparse
import datetime
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


def wait_for(what, done, seconds):
    """Polls done() until it gives something true; fails the test after the seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = done()
        if result:
            return result
        time.sleep(0.25)
    raise AssertionError(f"timed out after {seconds} s waiting for {what}")


def ended_night():
    """The local noon that began the night before the one under way (TZ is UTC here)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    noon = now.replace(hour=12, minute=0, second=0, microsecond=0)
    if now < noon:
        noon -= datetime.timedelta(days=1)
    return noon - datetime.timedelta(days=1)


def add_integrated_images(base, start, count):
    """Integrated images of the archive, 34 s apart from start + 10 h, brightening over the night."""
    for i in range(count):
        t = start + datetime.timedelta(hours=10, seconds=34 * i)
        stamp = t.strftime("%Y%m%d_%H%M%S_") + f"{t.microsecond // 1000:03d}"
        folder = os.path.join(base, "archive", "s" + stamp[:4], "s" + stamp[:8], "s" + stamp[:13])
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                        f"nullsrc=s=640x480,geq=lum='Y/4+{8 * i}':cb=128:cr=128,format=gray",
                        "-frames:v", "1", os.path.join(folder, "a" + stamp + ".png")], check=True)


class Station:
    """The real program, headless on the simulated sky, serving its web page on a free port."""

    def __init__(self, binary, home):
        environment = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        environment.update(HOME=home, TZ="UTC0")
        self.process = subprocess.Popen(
            [binary, "--headless", "--source", "sim:7", "--sim-rate", "30", "--enable",
             "--status-interval", "60", "--web", "127.0.0.1:0"],
            env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        try:
            line = wait_for("the web page's address", lambda: next(
                (l for l in self.lines if "Web page: http://" in l), None), 30)
        except AssertionError:
            self.process.kill()
            self.process.wait()
            raise
        self.url = line[line.index("http://"):].strip().rstrip("/")

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def json(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as response:
            return json.load(response)

    def bytes(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as response:
            return response.read()

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        code = self.process.wait(timeout=30)
        self.reader.join(timeout=5)
        assert code == 0, f"ombrix ended with {code}:\n" + "\n".join(self.lines[-20:])


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--autoplay-policy=no-user-gesture-required", "--window-size=1000,1200"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def image_shown(driver, element_id):
    return driver.execute_script(
        "const i = document.getElementById(arguments[0]);"
        "return i !== null && i.complete && i.naturalWidth > 0;", element_id)


def save_screenshot(driver, screenshots, name):
    """Once every picture of the page has loaded (screenshots mode only)."""
    if screenshots:
        wait_for("the page's pictures", lambda: driver.execute_script(
            "return Array.from(document.images).every(i => i.complete);"), 10)
        driver.save_screenshot(os.path.join(screenshots, name))


def run(binary, screenshots):
    home = tempfile.mkdtemp(prefix="ombrix_browser_")
    base = os.path.join(home, "Documents", "Ombrix")
    night = ended_night()
    add_integrated_images(base, night, 6)
    station = Station(binary, home)
    driver = None
    try:
        driver = browser()
        # The status page: the live picture is fetched anew and its picture changes.
        driver.get(station.url + "/")
        wait_for("the live picture", lambda: image_shown(driver, "live"), 20)
        first = driver.find_element(By.ID, "live").get_attribute("src")
        wait_for("a new live picture", lambda: driver.find_element(By.ID, "live")
                 .get_attribute("src") != first and image_shown(driver, "live"), 10)
        before = station.bytes("/live.jpg")
        time.sleep(1.2)
        assert station.bytes("/live.jpg") != before, "the live picture does not change"

        # The events the station recorded, and one that has been cut with its movie.
        def listed():
            driver.get(station.url + "/events")
            return driver.find_elements(By.CSS_SELECTOR, "li.event")
        wait_for("a listed event", listed, 40)
        cut = 3 if screenshots else 1  # a fuller page for the pictures
        key = wait_for("an event with its movie", lambda: ([
            e["key"] for e in station.json("/api/events")["events"] if e["files"]["movie"]
        ] + [None] * cut)[cut - 1], 60)
        driver.get(station.url + "/events")
        save_screenshot(driver, screenshots, "web-events.png")
        assert driver.find_elements(By.CSS_SELECTOR, f"li.event[data-key='{key}']")

        # Its page: the movie, transcoded for the browser, plays.
        driver.get(station.url + "/events/" + key)
        driver.execute_script("document.getElementById('movie').play();")
        wait_for("the movie to play", lambda: driver.execute_script(
            "return document.getElementById('movie').currentTime;") > 0.3, 30)
        driver.execute_script("document.getElementById('movie').pause();")
        save_screenshot(driver, screenshots, "web-event.png")

        # The night the station summarised at start shows its keogram.
        date = night.strftime("%Y-%m-%d")
        wait_for("the night's summary", lambda: date in station.json("/api/nights")["nights"], 30)
        driver.get(station.url + "/nights")
        driver.find_element(By.CSS_SELECTOR, f"a.night[href='/nights/{date}']").click()
        wait_for("the keogram", lambda: image_shown(driver, "keogram"), 10)
        if screenshots:  # the status with the events recorded meanwhile
            driver.get(station.url + "/")
            wait_for("the live picture", lambda: image_shown(driver, "live"), 20)
            save_screenshot(driver, screenshots, "web-status.png")
    finally:
        if driver is not None:
            driver.quit()
        if station.process.poll() is None:
            station.stop()
        subprocess.run(["rm", "-rf", home], check=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--screenshots")
    arguments = parser.parse_args()
    started = time.monotonic()
    run(os.path.abspath(arguments.binary), arguments.screenshots)
    print(f"browser test passed in {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
