#!/usr/bin/env python3
"""quillsim run --report in a real browser: headless Chromium loads the page
of a passing update, failing scenarios and an unreadable one; its script
runs with no console error and nothing is fetched; a failing scenario's diff
is visible (the screenshot shows its red and green lines); a click on a
timeline step shows that step's dialog; the capture link carries the
capture; the filter hides the passing scenarios.

Exits 77 (ctest: skipped) only when Chromium is not installed.

usage: check_report_browser.py QUILLSIM EXAMPLES FAILING_SCENARIOS SCRATCH"""
import base64
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
if CHROMIUM is None:
    print("SKIPPED: chromium is not installed (scripts/setup.sh installs chromium and chromium-driver)")
    sys.exit(77)
try:
    import selenium  # noqa: F401
except ImportError:  # a Python of its own (pyenv) beside Debian's python3-selenium
    sys.path.append("/usr/lib/python3/dist-packages")
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

quillsim, examples, failing, scratch = (os.path.abspath(path) for path in sys.argv[1:5])
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
report = os.path.join(scratch, "report.html")
captures = os.path.join(scratch, "captures")
run = subprocess.run([quillsim, "run", os.path.join(examples, "scenarios", "main-update.json"),
                      os.path.join(failing, "wrong-status.json"),
                      os.path.join(failing, "wrong-message-boxes.json"),
                      os.path.join(failing, "unreadable.json"),
                      "-j", "2", "--report", report, "--pcap", captures],
                     capture_output=True, text=True)
problems = []
if run.returncode != 1 or not os.path.exists(report):
    print(run.stdout, run.stderr)
    sys.exit(f"FAILED: quillsim exit status {run.returncode}, expected 1 and a report")


def png_pixels(data):
    """(width, height, rows of (r, g, b)) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0, header
    size = 3 if colour == 2 else 4
    raw, stride, rows, previous = zlib.decompress(idat), width * size, [], bytearray(width * size)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - size] if x >= size else 0
            up, corner = previous[x], previous[x - size] if x >= size else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                near = min((abs(p - left), 0), (abs(p - up), 1), (abs(p - corner), 2))[1]
                line[x] = (line[x] + (left, up, corner)[near]) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, size)])
        previous = line
    return width, height, rows


def count_near(rows, colour, tolerance=6):
    return sum(1 for row in rows for pixel in row
               if all(abs(a - b) <= tolerance for a, b in zip(pixel, colour)))


options = Options()
options.binary_location = CHROMIUM
profile = tempfile.mkdtemp(prefix="quillsim-chromium-")
for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1400,1000"):
    options.add_argument(argument)
options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
try:
    driver.get("file://" + report)
    errors = [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
    if errors:
        problems.append(f"console: {errors}")
    fetched = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    if fetched:
        problems.append(f"the page fetched {fetched}")

    def section(name):
        return driver.find_element(By.CSS_SELECTOR, f'section.scenario[data-name="{name}"]')

    # The script ran: each viewer shows its program's last screen, the last
    # picture with a window (the program ends on the empty desktop).
    update = section("main-update")
    viewer = update.find_element(By.CSS_SELECTOR, "figure.viewer")
    pictures = update.find_elements(By.CSS_SELECTOR, "ol.pictures li")
    last = [li.get_attribute("data-picture") for li in pictures if li.get_attribute("data-window") is not None][-1]
    if len(pictures) < 3 or last == str(len(pictures) - 1) or viewer.get_attribute("data-picture") != last:
        problems.append(f"the viewer shows picture {viewer.get_attribute('data-picture')} of {len(pictures)}")

    # A click on a step of the timeline shows that step's dialog.
    before = viewer.screenshot_as_png
    step = update.find_element(By.XPATH, ".//ol[@class='timeline']/li[contains(., 'user: clicks Program')]")
    driver.execute_script("arguments[0].scrollIntoView()", step)
    step.click()
    caption = viewer.find_element(By.TAG_NAME, "figcaption").text
    shown = viewer.find_element(By.CSS_SELECTOR, ".screen svg").get_attribute("textContent")
    if viewer.get_attribute("data-step") != "3" or "step 3 (/script/3)" not in caption:
        problems.append(f"after the click on step 3 the viewer says {caption!r}")
    if "Please Wait..." not in shown or "Complete!" in shown:
        problems.append("the dialog shown is not the one of the Program click")
    if "selected" not in step.get_attribute("class"):
        problems.append("the clicked step is not marked")
    after = viewer.screenshot_as_png
    if before == after:
        problems.append("the viewer's screenshot did not change with the click")
    _, _, rows = png_pixels(after)
    if count_near(rows, (0xC0, 0xC0, 0xC0)) < 1000:  # the dialog's grey face
        problems.append("the viewer's screenshot shows no dialog")

    # A failing scenario: its diff and what was on screen are visible.
    wrong = section("wrong-status")
    diff = wrong.find_element(By.CSS_SELECTOR, ".diff")
    removed = [e.text for e in diff.find_elements(By.CSS_SELECTOR, ".removed")]
    added = [e.text for e in diff.find_elements(By.CSS_SELECTOR, ".added")]
    if removed != ["- Firmware Update Failed."] or added != ["+ Firmware Update Complete."]:
        problems.append(f"the diff says {removed} and {added}")
    driver.execute_script("arguments[0].scrollIntoView()", diff)
    if not diff.is_displayed():
        problems.append("the diff is not displayed")
    _, _, rows = png_pixels(diff.screenshot_as_png)
    if count_near(rows, (0xFD, 0xE2, 0xE1)) < 50 or count_near(rows, (0xDC, 0xF5, 0xDC)) < 50:
        problems.append("the diff's screenshot shows no removed and added line")
    screen = wrong.find_element(By.CSS_SELECTOR, ".on-screen svg").get_attribute("textContent")
    if "Firmware Update Complete." not in screen:
        problems.append("the failure's screen does not show the status line seen")
    boxes = section("wrong-message-boxes").find_element(By.CSS_SELECTOR, ".diff").text
    if "+ Please select a device and file before programming!" not in boxes:
        problems.append(f"the message boxes' diff says {boxes!r}")
    if "/script/1/press" not in section("unreadable").find_element(By.CSS_SELECTOR, "p.error").text:
        problems.append("the unreadable scenario does not say why")

    # The USB requests, linked to their capture.
    rows_shown = update.find_elements(By.CSS_SELECTOR, "table.usb tr")
    if len(rows_shown) < 30:
        problems.append(f"{len(rows_shown)} rows of USB requests")
    link = update.find_element(By.CSS_SELECTOR, "p.capture a")
    with open(os.path.join(captures, "main-update.pcap"), "rb") as capture:
        embedded = link.get_attribute("href").split("base64,", 1)[1]
        if link.get_attribute("download") != "main-update.pcap" or base64.b64decode(embedded) != capture.read():
            problems.append("the capture link does not carry the capture")

    # The filter leaves the failing and unreadable scenarios.
    driver.find_element(By.CSS_SELECTOR, 'nav.filter button[data-filter="failing"]').click()
    visible = sorted(s.get_attribute("data-name") for s in driver.find_elements(By.CSS_SELECTOR, "section.scenario")
                     if s.is_displayed())
    if visible != ["unreadable", "wrong-message-boxes", "wrong-status"]:
        problems.append(f"the filter shows {visible}")
    driver.save_screenshot(os.path.join(scratch, "report.png"))
    errors = [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
    if errors:
        problems.append(f"console after the clicks: {errors}")
finally:
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)

for problem in problems:
    print("FAILED:", problem)
sys.exit(1 if problems else 0)
