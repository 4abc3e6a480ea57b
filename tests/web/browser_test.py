#!/usr/bin/python3
# The web page in headless Chromium through its WebDriver, against the real program on the
# simulated sky in a temporary home: the live picture changes, the recorded events are listed, an
# event's movie plays, the night the station summarised at start shows its keogram.
# Usage: browser_test.py OMBRIX [SCREENSHOT_FOLDER]  (the folder gets three pages' pictures)
import datetime, json, os, shutil, signal, subprocess, sys, tempfile, threading, time
import urllib.request
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


def wait_for(what, done, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if result := done():
            return result
        time.sleep(0.25)
    raise AssertionError(f"no {what} within {seconds} s")


def add_ended_night(base):
    """Integrated images in the night that ended last (TZ is UTC); returns its date."""
    now = datetime.datetime.now(datetime.timezone.utc)
    noon = now.replace(hour=12, minute=0, second=0, microsecond=0)
    start = noon - datetime.timedelta(days=1 if now >= noon else 2)
    for i in range(6):
        stamp = (start + datetime.timedelta(hours=10, seconds=34 * i)).strftime("%Y%m%d_%H%M%S")
        folder = os.path.join(base, "archive", "s" + stamp[:4], "s" + stamp[:8], "s" + stamp[:13])
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "nullsrc=s=640x480,geq="
                        f"lum='Y/4+{8 * i}':cb=128:cr=128,format=gray", "-frames:v", "1",
                        os.path.join(folder, f"a{stamp}_000.png")], check=True)
    return start.strftime("%Y-%m-%d")


def main(binary, screenshots=None):
    home = tempfile.mkdtemp(prefix="ombrix_browser_")
    date = add_ended_night(os.path.join(home, "Documents", "Ombrix"))
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,1200"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    station = subprocess.Popen(
        [binary, "--headless", "--source", "sim:7", "--sim-rate", "30", "--enable",
         "--status-interval", "60", "--web", "127.0.0.1:0"], env=dict({k: v for k, v in
         os.environ.items() if not k.startswith("XDG_")}, HOME=home, TZ="UTC0"),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(station.stdout))
    reader.start()
    try:
        url = wait_for("web page address", lambda: next((l.split("Web page: ")[1].strip()
                       for l in list(lines) if "Web page: " in l), None), 30).rstrip("/")
        fetch = lambda path: urllib.request.urlopen(url + path, timeout=10).read()
        shown = lambda id: driver.execute_script(
            "const i = document.getElementById(arguments[0]);"
            "return i !== null && i.complete && i.naturalWidth > 0;", id)

        def save(name):
            if screenshots:
                wait_for("page pictures", lambda: driver.execute_script(
                    "return Array.from(document.images).every(i => i.complete);"), 10)
                driver.save_screenshot(os.path.join(screenshots, name))

        driver.get(url + "/")
        wait_for("live picture", lambda: shown("live"), 20)
        first = driver.find_element(By.ID, "live").get_attribute("src")
        wait_for("new live picture", lambda: shown("live") and first !=
                 driver.find_element(By.ID, "live").get_attribute("src"), 10)
        before, _ = fetch("/live.jpg"), time.sleep(1.2)
        assert fetch("/live.jpg") != before, "the live picture does not change"

        wait_for("listed event", lambda: driver.get(url + "/events") or
                 driver.find_elements(By.CSS_SELECTOR, "li.event"), 40)
        cut = 3 if screenshots else 1  # a fuller page for the pictures
        key = wait_for("event with its movie", lambda: ([e["key"] for e in json.loads(
            fetch("/api/events"))["events"] if e["files"]["movie"]] + [None] * cut)[cut - 1], 60)
        driver.get(url + "/events")
        save("web-events.png")

        driver.get(url + "/events/" + key)
        driver.execute_script("document.getElementById('movie').play();")
        wait_for("playing movie", lambda: driver.execute_script(
            "return document.getElementById('movie').currentTime;") > 0.3, 30)
        save("web-event.png")

        wait_for("night summary", lambda: date in json.loads(fetch("/api/nights"))["nights"], 30)
        driver.get(url + "/nights")
        driver.find_element(By.CSS_SELECTOR, f"a.night[href='/nights/{date}']").click()
        wait_for("keogram", lambda: shown("keogram"), 10)
        driver.get(url + "/")  # the status with the events recorded meanwhile
        save("web-status.png")
    finally:
        driver.quit()
        station.send_signal(signal.SIGINT)
        code = station.wait(timeout=30)
        reader.join()
        shutil.rmtree(home, ignore_errors=True)
    assert code == 0, f"ombrix ended with {code}:\n" + "".join(lines[-20:])


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1]), *sys.argv[2:])
