#!/usr/bin/env python3
"""The web administration pages in a real browser (headless chromium).

Starts the server in a fresh folder under the build folder with its own
ports on loopback, logs in, renames the server, adds an account, edits it,
deletes it through the choice box and logs out, saving a screenshot of each
page in <build>/browser-screenshots. Exits 77 (reported by ctest as skipped,
with the reason printed) when chromium or its driver cannot start here.

Usage: browser_test.py <parleon-server> <source dir> <build dir>
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(exe, source, work):
    http_port, udp_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    shutil.copytree(os.path.join(source, "httpdocs"), os.path.join(work, "httpdocs"))
    with open(os.path.join(work, "server.ini"), "w") as ini:
        ini.write("[Main Config]\nHTTPServer Port=%d\nTCPQueryPort=0\nBoundToIp=127.0.0.1\n"
                  "ExternalIPDectection=0\n[WebPost]\nEnabled=0\n[Servers]\n0=server_cfg Default\n"
                  "[server_cfg Default]\nServerUDPPort=%d\n" % (http_port, udp_port))
    proc = subprocess.Popen([exe, "-ADMINPW=browser-pw"], cwd=work,
                            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    deadline = time.time() + 30
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", http_port), timeout=1).close()
            return proc, http_port, udp_port
        except OSError:
            time.sleep(0.2)
    proc.kill()
    raise SystemExit("FAIL: the server did not open its web port")


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        print("SKIPPED: python3-selenium is not installed (%s); `make deps` installs it" % e)
        sys.exit(SKIP)
    options = webdriver.ChromeOptions()
    # PARLEON_CHROMIUM names another browser binary (a different build, or a broken one to try this path).
    options.binary_location = os.environ.get("PARLEON_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-first-run", "--user-data-dir=" + profile, "--window-size=1280,900"):
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                  options=options)
    except Exception as e:  # the driver reports a missing display library or /dev/shm in its message
        print("SKIPPED: chromium could not start here, so the pages were NOT tested in a browser:\n  %s"
              % str(e).strip().splitlines()[0])
        sys.exit(SKIP)
    driver.set_page_load_timeout(30)
    return driver


def main():
    exe, source, build = sys.argv[1:4]
    shots = os.path.join(build, "browser-screenshots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    work = tempfile.mkdtemp(prefix="browser-run-", dir=build)
    proc, http_port, udp_port = start_server(exe, source, work)
    driver = None
    try:
        driver = start_browser(os.path.join(work, "chromium-profile"))
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select, WebDriverWait
        base = "http://127.0.0.1:%d/" % http_port
        count = [0]

        def shot(name):
            count[0] += 1
            driver.save_screenshot(os.path.join(shots, "%02d-%s.png" % (count[0], name)))

        def expect(cond, what):
            if not cond:
                shot("failure")
                raise AssertionError(what + " (page: " + driver.current_url + ")")

        def arrive(title, what):
            # A click returns before the browser has followed the redirect.
            try:
                WebDriverWait(driver, 20).until(lambda d: d.title.startswith(title))
            except Exception:
                expect(False, what)

        def field(name):
            return driver.find_element(By.NAME, name)

        def submit(form_id):
            driver.find_element(By.CSS_SELECTOR, "#%s input[type=submit]" % form_id).click()

        def box_text(kind):
            arrive({"ok": "operation successfully", "choice": "please choose"}[kind], "the %s box opens" % kind)
            return driver.find_element(By.ID, kind + "-text").text

        driver.get(base)
        arrive("Log in", "the login page comes first")
        options = [o.get_attribute("value") for o in Select(field("serverport")).options]
        expect(str(udp_port) in options, "the login page offers the running server")
        shot("login")
        field("username").send_keys("admin")
        field("password").send_keys("browser-pw")
        Select(field("serverport")).select_by_value(str(udp_port))
        submit("login")
        arrive("Overview", "a right password leads to the overview")
        expect(driver.find_element(By.ID, "port").text == str(udp_port), "the overview shows the port")
        shot("overview")
        driver.set_window_size(390, 844)
        shot("overview-phone")
        driver.set_window_size(1280, 900)

        driver.get(base + "server_settings.html")
        shot("settings")
        name = field("SERVERNAME")
        name.clear()
        name.send_keys("Browser <Test> & Co")
        submit("settings")
        expect(box_text("ok") == "server config was changed and will be restarted now", "settings saved")
        shot("settings-saved")
        driver.find_element(By.ID, "ok-ok").click()
        arrive("Overview", "the box leads back to the overview")
        expect(driver.find_element(By.ID, "server-name").text == "Browser <Test> & Co",
               "the restarted server shows its new name")

        driver.get(base + "client_manager.html")
        field("CLIENTLOGINNAME").send_keys("tester & friend")
        field("CLIENTPW1").send_keys("pw1")
        field("CLIENTPW2").send_keys("pw1")
        shot("accounts-add")
        submit("add-client")
        expect(box_text("ok") == "the user tester & friend was added to server", "account added")
        shot("account-added")
        driver.get(base + "client_manager.html")
        rows = driver.find_elements(By.CSS_SELECTOR, "#accounts tbody tr")
        expect(any("tester & friend" in r.text for r in rows), "the list shows the new account")
        shot("accounts")

        row = next(r for r in rows if "tester & friend" in r.text)
        row.find_element(By.XPATH, ".//button[text()='edit']").click()
        arrive("Edit account", "edit opens the account")
        shot("account-edit")
        field("CLIENTPW1").send_keys("pw2")
        field("CLIENTPW2").send_keys("pw2")
        field("CLIENTSERVERADMIN").click()
        submit("edit-client")
        expect(box_text("ok") == "the user tester & friend was edited", "account edited")
        driver.get(base + "client_edit.html?client=tester%20%26%20friend")
        expect(field("CLIENTSERVERADMIN").is_selected(), "the edit took effect")

        driver.get(base + "client_manager.html")
        row = next(r for r in driver.find_elements(By.CSS_SELECTOR, "#accounts tbody tr")
                   if "tester & friend" in r.text)
        row.find_element(By.XPATH, ".//button[text()='delete']").click()
        expect(box_text("choice") == "you really want do delete tester & friend", "the choice box asks")
        shot("delete-choice")
        driver.find_element(By.ID, "choice-yes").click()
        expect(box_text("ok") == "user tester & friend deleted", "account deleted")
        shot("account-deleted")
        driver.get(base + "client_manager.html")
        expect("tester & friend" not in driver.find_element(By.ID, "accounts").text, "the account is gone")

        driver.find_element(By.LINK_TEXT, "Log out").click()
        arrive("Log in", "log out leads back to the login page")
        driver.get(base + "index.html")
        arrive("Log in", "after log out every page is the login page")
        shot("logged-out")
        print("PASS: %d screenshots in %s" % (count[0], shots))
    finally:
        if driver:
            driver.quit()
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
