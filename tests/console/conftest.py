"""The console's world: a registry, data folders and a store in a temporary
folder, two accounts (alice and bob), valmorin serve on a loopback port of
its own, and a headless Chromium for each account."""

import atexit
import base64
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = tempfile.mkdtemp(prefix="valmorin-console-")
atexit.register(shutil.rmtree, ROOT, ignore_errors=True)
for name, folder in (("PELKOR_REGISTRY_DIR", "registry"), ("PELKOR_ROOT", "root"),
                     ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"), ("HOME", "home")):
    os.environ[name] = os.path.join(ROOT, folder)
    os.makedirs(os.environ[name], exist_ok=True)

CLI = os.environ["VALMORIN_CLI"]
LIBRARY = os.environ["VALMORIN_LIBRARY"]
SCREENSHOTS = os.environ["VALMORIN_SCREENSHOTS"]
PASSWORDS = {"alice": "wonder land", "bob": "builder"}


def _accounts():
    path = os.path.join(ROOT, "users")
    with open(path, "w", encoding="utf-8") as out:
        for user, password in PASSWORDS.items():
            made = subprocess.run(["htpasswd", "-nbBC", "4", user, password], check=True, capture_output=True, text=True)
            out.write(made.stdout.splitlines()[0] + "\n")
    return path


class Server:
    """valmorin serve, started on a free loopback port."""

    def __init__(self):
        subprocess.run([CLI, "regsvr", "/s", LIBRARY], check=True)
        subprocess.run([CLI, "init"], check=True, capture_output=True)  # the default store, below ROOT
        self.log = open(os.path.join(ROOT, "serve.log"), "w+b")
        self.process = subprocess.Popen([CLI, "serve", "--listen", "127.0.0.1:0", "--users", _accounts()],
                                        stderr=self.log)
        self.url = None
        deadline = time.monotonic() + 20
        while self.url is None and time.monotonic() < deadline and self.process.poll() is None:
            self.log.seek(0)
            found = re.search(rb"listening on (http://127\.0\.0\.1:\d+)", self.log.read())
            if found:
                self.url = found.group(1).decode()
            else:
                time.sleep(0.05)
        if self.url is None:
            self.log.seek(0)
            raise RuntimeError("valmorin serve did not start: " + self.log.read().decode(errors="replace"))

    def request(self, method, path, body=None, user="alice", headers=None, basic=True):
        """A request to the API as a client program makes it: (status, headers, body)."""
        request = urllib.request.Request(self.url + path, method=method, headers=dict(headers or {}))
        if basic:
            token = base64.b64encode(f"{user}:{PASSWORDS[user]}".encode()).decode()
            request.add_header("Authorization", "Basic " + token)
        if body is not None:
            request.data = body if isinstance(body, bytes) else json.dumps(body).encode()
            request.add_header("Content-Type", "text/csv" if isinstance(body, bytes) else "application/json")
        elif method != "GET":
            request.data = b"{}"
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        assert self.process.wait(timeout=30) == 0


@pytest.fixture(scope="session")
def server():
    started = Server()
    yield started
    started.stop()


def _browser(downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-quic", "--window-size=1280,800", f"--user-data-dir={tempfile.mkdtemp(dir=ROOT)}"):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    # What the page's console shows, failed loads among it.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    return driver


@pytest.fixture(scope="session")
def browsers():
    """A browser per account, each with its own cookies and download folder."""
    opened = {}

    def open_for(user):
        if user not in opened:
            downloads = os.path.join(ROOT, "downloads-" + user)
            os.makedirs(downloads, exist_ok=True)
            opened[user] = _browser(downloads)
            opened[user].downloads = downloads
        return opened[user]

    yield open_for
    for driver in opened.values():
        driver.quit()


@pytest.fixture(scope="session")
def screenshot():
    os.makedirs(SCREENSHOTS, exist_ok=True)

    def take(driver, name, showing=None):
        """The window, scrolled so that the element `showing` (a CSS
        selector) is in the middle of it."""
        if showing:
            driver.execute_script("arguments[0].scrollIntoView({block: 'center'})",
                                  driver.find_element("css selector", showing))
        driver.save_screenshot(os.path.join(SCREENSHOTS, name + ".png"))

    return take
