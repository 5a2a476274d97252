#!/usr/bin/python3
"""The web page in a real browser: headless Chromium driven by Selenium logs in
to `brindlenet-peer serve --web`, searches a second real peer through a real
directory server, downloads, sends and receives a message and changes a limit.

The browser, the directory and the web peer run in a network namespace of
their own, reached only over its loopback; the second peer sits in another
namespace joined to the first by a veth pair, so both peers listen on port
2000 as real hosts do. Nothing leaves the machine.

Usage: web_browser_test.py PEER DIRECTORY [SCREENSHOT_DIR]
Exits 77 (skipped) without root, Chromium, chromedriver or Selenium.
"""
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
PASSWORD = "browser-test-password"


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


def run(*args, **kwargs):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)


def wait_for(predicate, what, deadline=20):
    # The page redraws its tables as progress comes in: an element found just
    # before a redraw is gone when read, and the next look finds the new one.
    from selenium.common.exceptions import StaleElementReferenceException
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            if predicate():
                return
        except StaleElementReferenceException:
            pass
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Lab:
    """Two namespaces, a veth pair between them and every process started in them."""

    def __init__(self):
        tag = str(os.getpid())
        self.web_ns = "bnweb-a" + tag
        self.peer_ns = "bnweb-b" + tag
        self.web_address = "10.79.0.1"
        self.peer_address = "10.79.0.2"
        self.processes = []

    def build(self):
        run("ip", "netns", "add", self.web_ns)
        run("ip", "netns", "add", self.peer_ns)
        run("ip", "link", "add", "eth0", "netns", self.web_ns, "type", "veth",
            "peer", "name", "eth0", "netns", self.peer_ns)
        for ns, address in ((self.web_ns, self.web_address), (self.peer_ns, self.peer_address)):
            run("ip", "-n", ns, "addr", "add", address + "/24", "dev", "eth0")
            run("ip", "-n", ns, "link", "set", "eth0", "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")

    def enter(self, ns):
        """Moves this thread, and the processes it starts from now on, into `ns`."""
        libc = ctypes.CDLL(None, use_errno=True)
        with open("/run/netns/" + ns) as handle:
            if libc.setns(handle.fileno(), 0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "setns " + ns)

    def start(self, ns, argv, cwd, name, env=None, stdin=None):
        out = open(os.path.join(cwd, name + ".out"), "w")
        err = open(os.path.join(cwd, name + ".err"), "w")
        process = subprocess.Popen(["ip", "netns", "exec", ns] + argv, cwd=cwd, env=env,
                                   stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                   stdout=out, stderr=err)
        self.processes.append(process)
        return process

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        for ns in (self.web_ns, self.peer_ns):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def peer_home(root, user, server_url):
    home = os.path.join(root, user)
    os.makedirs(os.path.join(home, "shared"))
    with open(os.path.join(home, "config.txt"), "w") as f:
        f.write(server_url + "\n" + user + "\n" + os.path.join(home, "shared") +
                "\nDSL,Cable\nsecret-" + user + "\n")
    env = dict(os.environ, XDG_CONFIG_HOME=home)
    return home, env


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    peer_program, directory_program = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    screenshots = sys.argv[3] if len(sys.argv) > 3 else None
    if os.geteuid() != 0:
        skip("the browser test needs root for its network namespaces")
    chromium = shutil.which("chromium")
    chromedriver = shutil.which("chromedriver")
    if not chromium or not chromedriver:
        skip("the browser test needs Debian's chromium and chromium-driver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
    except ImportError:
        skip("the browser test needs python3-selenium")
    if not os.path.exists(directory_program):
        skip("the browser test needs brindlenet-directory, which is not built")

    lab = Lab()
    root = tempfile.mkdtemp(prefix="brindlenet-web-")
    driver = None
    try:
        lab.build()
        server_url = "http://" + lab.web_address + ":8080/examples/servlet/brindlenet"
        lab.start(lab.web_ns, [directory_program, "--port", "8080", "--bind", lab.web_address,
                               "--db", os.path.join(root, "directory.db")], root, "directory")
        wait_for(lambda: "listening on" in read(os.path.join(root, "directory.err")),
                 "the directory server")

        ann, ann_env = peer_home(root, "ann", server_url)
        bob, bob_env = peer_home(root, "bob", server_url)
        song = bytes((i * 7 + 3) % 251 for i in range(300000))
        with open(os.path.join(bob, "shared", "song.mp3"), "wb") as f:
            f.write(song)

        setter = subprocess.run(["ip", "netns", "exec", lab.web_ns, peer_program, "web-password"],
                                cwd=ann, env=ann_env, input=(PASSWORD + "\n") * 2, text=True,
                                capture_output=True, timeout=30)
        assert setter.returncode == 0, setter.stderr
        lab.start(lab.web_ns, [peer_program, "serve", "--web", "127.0.0.1:8081"], ann, "serve",
                  env=ann_env)
        lab.start(lab.peer_ns, [peer_program, "serve"], bob, "serve", env=bob_env)
        for home in (ann, bob):
            wait_for(lambda: "Registred with server!" in read(os.path.join(home, "serve.err")),
                     "registration in " + home)
        wait_for(lambda: "web page on http://127.0.0.1:8081/" in read(os.path.join(ann, "serve.err")),
                 "the web page")

        # Selenium and the browser run in the web peer's namespace, so every
        # connection of theirs is on its loopback.
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                         "--window-size=1100,760", "--user-data-dir=" + os.path.join(root, "chrome")):
            options.add_argument(argument)
        lab.enter(lab.web_ns)
        service = Service(executable_path=chromedriver)
        driver = webdriver.Chrome(service=service, options=options)
        driver.implicitly_wait(0)

        def element(id_):
            return driver.find_element(By.ID, id_)

        def wait_text(id_, text, deadline=20):
            wait_for(lambda: text in element(id_).text, repr(text) + " in #" + id_ +
                     " (has " + repr(element(id_).text) + ")", deadline)

        def shot(name):
            if screenshots:
                driver.save_screenshot(os.path.join(screenshots, "screenshot-web-" + name + ".png"))

        driver.get("http://127.0.0.1:8081/")
        wait_for(lambda: element("login").is_displayed(), "the login form")
        element("password").send_keys("wrong password", Keys.ENTER)
        wait_text("login-error", "wrong password")
        element("password").clear()
        element("password").send_keys(PASSWORD, Keys.ENTER)
        wait_for(lambda: element("app").is_displayed(), "the pages after login")
        wait_text("status", "ann")

        # Search with the keyboard alone: the query field has the focus.
        driver.switch_to.active_element.send_keys("song", Keys.ENTER)
        wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#results tbody tr")) == 1,
                 "one search result")
        row = driver.find_element(By.CSS_SELECTOR, "#results tbody tr")
        assert "song.mp3" in row.text and "bob" in row.text, row.text
        shot("search")
        row.find_element(By.TAG_NAME, "button").click()
        wait_for(lambda: element("page-transfer").is_displayed(), "the Transfer page")
        wait_for(lambda: any(cell.text == "File Complete..." for cell in
                             driver.find_elements(By.CSS_SELECTOR, "#downloads .transfer-status")),
                 "File Complete... in the page")
        with open(os.path.join(ann, "shared", "song.mp3"), "rb") as f:
            assert f.read() == song, "the downloaded file differs"
        shot("transfer")

        element("tab-messages").click()
        element("recipient").send_keys("bob")
        element("message").send_keys("hello bob", Keys.ENTER)
        wait_text("message-lines", "<ann> hello bob")
        wait_for(lambda: "<ann> hello bob" in read(os.path.join(bob, "serve.out")),
                 "the message at bob")
        sent = subprocess.run(["ip", "netns", "exec", lab.peer_ns, peer_program, "send", "ann",
                               "hi ann"], cwd=bob, env=bob_env, capture_output=True, timeout=30)
        assert sent.returncode == 0, sent.stderr
        wait_text("message-lines", "<bob> hi ann")
        shot("messages")

        element("tab-preferences").click()
        limit = element("download-limit")
        limit.clear()
        limit.send_keys("500")
        element("save").click()
        wait_text("preferences-saved", "Saved.")
        preferences = read(os.path.join(ann, "brindlenet", "preferences.conf"))
        assert "download_limit_kib = 500" in preferences, preferences
        assert PASSWORD not in preferences
        shot("preferences")

        # At a phone's width the pages still fit.
        driver.set_window_size(390, 800)
        element("tab-transfer").click()
        width = driver.execute_script("return document.documentElement.scrollWidth")
        assert width <= 400, "the page is %d pixels wide at a phone's width" % width
        shot("phone")
        print("PASS: login, search, download, messages both ways and a limit in the browser")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        lab.close()
        for name in ("ann/serve.err", "bob/serve.err", "directory.err"):
            text = read(os.path.join(root, name))
            if text:
                print("--- " + name + " (last lines)\n" + "\n".join(text.splitlines()[-15:]))
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
