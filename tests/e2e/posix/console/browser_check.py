"""Drives the console's page in headless chromium, from the tester's host.

browser_check.py URL TOKEN WORKDIR SHOTS
"""
import os
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

URL, TOKEN, WORK, SHOTS = sys.argv[1:5]
os.makedirs(SHOTS, exist_ok=True)
options = webdriver.ChromeOptions()
for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1500,1100", "--user-data-dir=" + tempfile.mkdtemp()]:
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
# The page redraws a table row when its server reports; an element read
# while that happens is simply read again.
wait = WebDriverWait(driver, 90, ignored_exceptions=[StaleElementReferenceException])


def shot(name):
    driver.save_screenshot(os.path.join(SHOTS, name + ".png"))


try:
    driver.get(URL + "/?token=" + TOKEN)
    # The three servers with their serial numbers.
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#servers tr.server .serial")) == 3)
    # Read in one script: the table is drawn anew whenever the fleet
    # changes, which leaves elements found a moment ago stale.
    cells = "return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)"
    serials = sorted(driver.execute_script(cells, "#servers .serial"))
    assert serials == ["100001", "100002", "100003"], serials
    # The identity with markup shows as that text, and nothing of it ran.
    models = driver.execute_script(cells, "#servers .model")
    assert "<img src=x id=injected><script>window.injected=1</script>" in models, models
    assert not driver.find_elements(By.ID, "injected")
    assert driver.execute_script("return window.injected === undefined")
    shot("1-servers")

    # Upload a signed package: its description, data file and signature.
    Select(driver.find_element(By.ID, "kind")).select_by_value("description")
    driver.find_element(By.ID, "file").send_keys(WORK + "/pkg/setup.sh.mki")
    driver.find_element(By.ID, "data").send_keys(WORK + "/pkg/setup.sh")
    driver.find_element(By.ID, "signature").send_keys(WORK + "/pkg/setup.sh.sig")
    driver.find_element(By.ID, "upload-button").click()
    wait.until(lambda d: any(", signed" in e.text for e in
                             d.find_elements(By.CSS_SELECTOR, "#package-list summary")))
    summary = driver.find_element(By.CSS_SELECTOR, "#package-list summary").text
    assert "setup.sh, exe package" in summary and ", signed" in summary, summary
    shot("2-uploaded")

    # Install on the two good servers and the one whose installation fails.
    driver.find_element(By.ID, "device").send_keys("1234.5678.02")
    driver.find_element(By.ID, "select-device").click()
    assert driver.execute_script(
        "return document.querySelectorAll('#servers tbody input:checked').length") == 3
    driver.find_element(By.ID, "install-button").click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".job tr.target")) == 3)

    def row(server):
        rows = driver.find_elements(By.CSS_SELECTOR, '.job tr.target[data-server="%s"]' % server)
        return rows

    def finished(d):
        states = [e.text for e in d.find_elements(By.CSS_SELECTOR, ".job tr.target .state")]
        return states and all(s in ("succeeded", "failed") for s in states)

    time.sleep(0.5)
    shot("3-installing")
    wait.until(finished)
    for server in ("198.51.100.1:13217", "198.51.100.2:13217"):
        for r in row(server)[:1]:
            assert r.find_element(By.CSS_SELECTOR, ".state").text == "succeeded"
            assert r.find_element(By.CSS_SELECTOR, ".percent").text == "100%"
            assert r.find_element(By.TAG_NAME, "progress").get_attribute("value") == "100"
    failed = row("198.51.100.3:13217")[0]
    assert failed.find_element(By.CSS_SELECTOR, ".state").text == "failed"
    text = failed.find_element(By.CSS_SELECTOR, ".server-text").text
    assert text, "no server text"
    shot("4-done")
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#history-list tbody tr")) == 1)
    driver.find_element(By.ID, "history").location_once_scrolled_into_view
    shot("5-history")
    print("browser check ok; failed target says:", text)
finally:
    driver.quit()
