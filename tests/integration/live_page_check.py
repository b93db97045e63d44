#!/usr/bin/python3
"""Opens the live page in headless Chromium and checks what a person watching it would:
every channel's name, a chart whose last value moves on, a blood-pressure result in a cycle
table. Exit 0 when all hold, 1 with the reason otherwise.

usage: live_page_check.py URL --channels A,B,.. [--devices N] [--cycle-within S] [--screenshot PNG [--settle S]]
"""
import argparse
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("url")
    ap.add_argument("--channels", required=True, help="comma-separated names every device shows")
    ap.add_argument("--devices", type=int, default=1)
    ap.add_argument("--cycle-within", type=float, default=10.0, help="seconds for a cycle result to show")
    ap.add_argument("--screenshot")
    ap.add_argument("--settle", type=float, default=1.0, help="seconds of drawing before the screenshot")
    a = ap.parse_args()

    profile = tempfile.TemporaryDirectory(prefix="vyra-chromium-")
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                 "--window-size=1400,1500", "--user-data-dir=" + profile.name):
        opts.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    try:
        driver.get(a.url)
        wait = WebDriverWait(driver, 20)
        sections = wait.until(lambda d: (lambda s: s if len(s) >= a.devices else False)(
            d.find_elements(By.CSS_SELECTOR, "section.device")))
        want = a.channels.split(",")
        for s in sections:
            shown = [e.text for e in s.find_elements(By.CSS_SELECTOR, ".chart .name")]
            for name in want:
                if not any(t == name or t.startswith(name + " (") for t in shown):
                    return fail(f"device {s.get_attribute('data-serial')}: no chart for {name!r} in {shown}")

        def last_t(d):
            values = [e.get_attribute("data-t") for e in d.find_elements(By.CSS_SELECTOR, ".chart .last")]
            values = [float(v) for v in values if v]
            return max(values) if values else None

        first = wait.until(last_t)
        try:
            WebDriverWait(driver, 10).until(lambda d: last_t(d) > first)
        except Exception:
            return fail(f"no chart's last value moved on from t = {first} s")
        if not driver.find_elements(By.CSS_SELECTOR, ".chart canvas"):
            return fail("no chart was drawn")

        def result(d):
            for row in d.find_elements(By.CSS_SELECTOR, "tr.cycle"):
                sys_, dia = (row.find_element(By.CSS_SELECTOR, c).text for c in ("td.sys", "td.dia"))
                if sys_.isdigit() and dia.isdigit():
                    return (sys_, dia)
            return False

        try:
            got = WebDriverWait(driver, a.cycle_within).until(result)
        except Exception:
            return fail(f"no blood-pressure result in a cycle table within {a.cycle_within} s")
        if a.screenshot:
            time.sleep(a.settle)
            driver.save_screenshot(a.screenshot)
        print(f"ok: {len(sections)} device(s), charts moving, cycle {got[0]}/{got[1]} mmHg")
        return 0
    finally:
        driver.quit()
        profile.cleanup()


def fail(why):
    print("live page: " + why, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
