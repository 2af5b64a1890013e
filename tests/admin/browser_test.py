#!/usr/bin/env python3
"""An operator's day in the web administration pages (headless chromium).

Starts the server in a fresh folder under the build folder with four
virtual servers, its own ports on loopback and the TCP query, logs players
in with parleon-watch (a few voice clients that print every notice they
receive), and walks an operator through the pages: logging in, the
navigation, the Players page (list, refresh, Message, Move, Kick, Kick and
ban), the Bans and Log pages, live
settings, the Servers page (Stop, Start, Restart, Add, Remove), the charts,
the accounts list and the feedback of log-out and errors; then parleon-bot
fills one server with 1,000 players and the Players list is paged, searched
and sorted. Every effect is
checked against the ground truth: the query port's "pl", "sl" and "si", the
notices the players received, server.ini and the accounts the query lists.
Screenshots at 1280x900 and 390x844 go to <build>/browser-screenshots.
Exits 77 (reported by ctest as skipped, with the reason printed) when
chromium or its driver cannot start here.

Usage: browser_test.py <parleon-server> <source dir> <build dir>
"""
import configparser
import fcntl
import os
import queue
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
PASSWORD = "browser-pw"
SERVERS = ["Default", "Alpha", "Beta", "Gamma"]
CROWDED, CROWD = "Gamma", 1000  # the server the bot fills, and with how many players


def held_socket(kind):
    """A socket bound to a loopback port of the system's choice; the port stays
    ours while it is open (start_server hands it to the server)."""
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    return s


def port_for_a_later_server():
    """A UDP port for a server added while the server runs, when no socket can
    be passed to it any more. It lies below the range the system hands out
    for port 0, where no test of the suite is given one (they all hold ports
    the system chose), so only a test naming it could take it meanwhile."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    rng = random.Random()
    for _ in range(100):
        port = rng.randrange(max(1024, low - 8000), low)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise SystemExit("FAIL: no free UDP port below the system's range")


def wait_until(what, cond, timeout=15.0, step=0.05):
    deadline = time.time() + timeout
    while True:
        value = cond()
        if value:
            return value
        if time.time() > deadline:
            raise AssertionError("timed out: " + what)
        time.sleep(step)


class Query:
    """The TCP query port, logged in as the super server administrator unless asked not to."""

    def __init__(self, port, login=True):
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buf = b""
        self.line()  # the greeting
        # Reading needs no login, and a login costs a password hash per server.
        if login:
            assert self.cmd("login admin " + PASSWORD) == ["OK"]

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("the query port closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("cp1252")

    def cmd(self, text):
        self.sock.sendall(text.encode("cp1252") + b"\r\n")
        lines = []
        while True:
            line = self.line()
            lines.append(line)
            if line == "OK" or line.startswith("ERROR, "):
                return lines

    # A connection lists the servers that ran when it was opened, so each
    # question about the running servers asks on a fresh one.
    def fresh(self, text):
        q = Query(self.port, login=False)
        try:
            return q.cmd(text)[:-1]
        finally:
            q.sock.close()

    def on(self, port):
        """A fresh logged-in connection with the server on `port` selected."""
        q = Query(self.port)
        assert q.cmd("sel %d" % port) == ["OK"], "the query selects port %d" % port
        return q

    def ports(self):
        return sorted(int(l) for l in self.fresh("sl"))

    def players(self, port):
        """nickname -> (player id, channel id) of the players on that server."""
        out = {}
        for line in self.fresh("pl %d" % port):
            f = line.split("\t")
            out[f[14]] = (int(f[0]), int(f[1]))
        return out

    def info(self, port):
        return dict(l.split("=", 1) for l in self.fresh("si %d" % port))


class Watch:
    """parleon-watch: players whose every received notice is kept."""

    def __init__(self, exe, port):
        self.proc = subprocess.Popen([exe, "--port", str(port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            fields = raw.decode("cp1252").rstrip("\n").split("\t")
            entry = {"kind": fields[0], "nick": fields[1] if len(fields) > 1 else ""}
            for f in fields[2:]:
                k, _, v = f.partition("=")
                entry[k] = v
            with self.cond:
                self.lines.append(entry)
                self.cond.notify_all()

    def send(self, text):
        self.proc.stdin.write((text + "\n").encode("cp1252"))
        self.proc.stdin.flush()

    def wait(self, what, match, timeout=10):
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for e in self.lines:
                    if match(e):
                        return e
                left = deadline - time.time()
                if left <= 0:
                    raise AssertionError("no notice: " + what)
                self.cond.wait(left)

    def seen(self, match):
        with self.cond:
            return [e for e in self.lines if match(e)]

    def login(self, nick, *account):
        self.send(" ".join(("login", nick) + account))
        e = self.wait("login of " + nick, lambda e: e["kind"] == "LOGIN" and e["nick"] == nick)
        assert e["result"] == "1", "login of %s: %s" % (nick, e)
        return e

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=5)
        except Exception:
            self.proc.kill()


def start_server(exe, source, work):
    held = [held_socket(socket.SOCK_STREAM), held_socket(socket.SOCK_STREAM)]
    held += [held_socket(socket.SOCK_DGRAM) for _ in SERVERS]
    ports = [s.getsockname()[1] for s in held]
    http_port, query_port, udp = ports[0], ports[1], ports[2:]
    shutil.copytree(os.path.join(source, "httpdocs"), os.path.join(work, "httpdocs"))
    with open(os.path.join(work, "server.ini"), "w") as ini:
        ini.write("[Main Config]\nHTTPServer Port=%d\nTCPQueryPort=%d\nBoundToIp=127.0.0.1\n"
                  "ExternalIPDectection=0\n[WebPost]\nEnabled=0\n[Servers]\n" % (http_port, query_port))
        for n, name in enumerate(SERVERS):
            ini.write("%d=server_cfg %s\n" % (n, name))
        for name, port in zip(SERVERS, udp):
            ini.write("[server_cfg %s]\nServerUDPPort=%d\nServerName=%s room\n" % (name, port, name))
            if name == CROWDED:
                ini.write("ServerMaxUsers=%d\n" % (CROWD + 10))
    # The sockets go to the server as a service manager passes them: at 3, 4,
    # ... with LISTEN_FDS, and LISTEN_PID the shell's own, which exec keeps.
    # They are moved out of the way of those numbers first.
    high = [fcntl.fcntl(s.fileno(), fcntl.F_DUPFD_CLOEXEC, 100) for s in held]
    moves = " ".join("%d<&%d %d<&-" % (3 + i, fd, fd) for i, fd in enumerate(high))
    script = 'export LISTEN_PID=$$ LISTEN_FDS=%d; exec "$0" "$@" %s' % (len(held), moves)
    proc = subprocess.Popen(["/bin/bash", "-c", script, exe, "-ADMINPW=" + PASSWORD], cwd=work, pass_fds=high,
                            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    for s in held:
        s.close()
    for fd in high:
        os.close(fd)
    def listening(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    for port in (http_port, query_port):
        try:
            wait_until("the server opens its ports", lambda: listening(port), 30, 0.2)
        except AssertionError:
            proc.kill()
            raise SystemExit("FAIL: the server did not open its web and query ports")
    return proc, http_port, query_port, udp


def read_ini(work):
    ini = configparser.ConfigParser(interpolation=None, strict=False)
    ini.optionxform = str
    ini.read(os.path.join(work, "server.ini"), encoding="cp1252")
    return ini


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
    watch_exe = os.path.join(os.path.dirname(exe), "parleon-watch")
    bot_exe = os.path.join(os.path.dirname(exe), "parleon-bot")
    for tool in (watch_exe, bot_exe):
        if not os.access(tool, os.X_OK):
            raise SystemExit("FAIL: %s is not built (the players of this test)" % tool)
    shots = os.path.join(build, "browser-screenshots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    work = tempfile.mkdtemp(prefix="browser-run-", dir=build)
    proc, http_port, query_port, udp = start_server(exe, source, work)
    driver = watch = bot = None
    started = time.time()
    try:
        query = Query(query_port, login=False)
        assert query.ports() == sorted(udp), "all four servers run"
        watch = Watch(watch_exe, udp[0])
        # A registered administrator builds the channels; the others are anonymous players.
        watch.login("op", "admin", PASSWORD)
        for name, flags in (("Games", 0), ("Quiet", 2)):
            watch.send("channel op %s 4294967295 %d" % (name, flags))
            watch.wait("channel " + name, lambda e, n=name: e.get("code") == "110" and e.get("name") == n)
        channel_id = {e["name"]: int(e["channel"]) for e in watch.seen(lambda e: e.get("code") == "110")}
        for nick in ("ann", "bob", "cy"):
            watch.login(nick)

        driver = start_browser(os.path.join(work, "chromium-profile"))
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select, WebDriverWait
        from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
        base = "http://127.0.0.1:%d/" % http_port
        count = [0]

        def shot(name, phone=False):
            count[0] += 1
            if phone:
                driver.set_window_size(390, 844)
            driver.save_screenshot(os.path.join(shots, "%02d-%s%s.png" % (count[0], name, "-phone" if phone else "")))
            if phone:
                # Nothing may need scrolling sideways on a phone.
                width = driver.execute_script("return document.documentElement.scrollWidth")
                inner = driver.execute_script("return window.innerWidth")
                driver.set_window_size(1280, 900)
                expect(width <= inner, "%s fits a phone's width (%d > %d)" % (name, width, inner))

        def expect(cond, what):
            if not cond:
                driver.save_screenshot(os.path.join(shots, "failure.png"))
                raise AssertionError(what + " (page: " + driver.current_url + ")")

        def arrive(title, what):
            # A click returns before the browser has followed the redirect.
            try:
                WebDriverWait(driver, 20).until(lambda d: d.title.startswith(title))
            except Exception:
                expect(False, what + ": the page is " + driver.title)

        def el(selector, within=None):
            return (within or driver).find_element(By.CSS_SELECTOR, selector)

        def els(selector, within=None):
            return (within or driver).find_elements(By.CSS_SELECTOR, selector)

        def field(name):
            return driver.find_element(By.NAME, name)

        def submit(form_id):
            el("#%s input[type=submit]" % form_id).click()

        def box(kind):
            title = {"ok": "operation successfully", "choice": "please choose", "error": "error occured"}[kind]
            arrive(title, "the %s box opens" % kind)
            return el("#%s-text" % kind).text

        def ok_back(page):
            expect(el("#ok-ok").get_attribute("href").split("?")[0].endswith(page), "the box leads back to " + page)
            el("#ok-ok").click()

        def row_action(row, label):
            row.find_element(By.XPATH, ".//button[text()='%s']" % label).click()

        def player_row(nick):
            # The list is replaced every few seconds: a row found during a
            # replacement is gone a moment later, so the search starts again.
            for _ in range(5):
                try:
                    for r in els("#players-table tbody tr"):
                        if el("td.nick", r).text == nick:
                            return r
                    return None
                except StaleElementReferenceException:
                    continue
            return None

        # ---- login: servers by name and port, sorted by port; a failure in words
        driver.get(base)
        arrive("Log in", "the login page comes first")
        options = Select(field("serverport")).options
        expect([int(o.get_attribute("value")) for o in options] == query.ports(), "every running server, by port")
        expect(all(("(port %s)" % o.get_attribute("value")) in o.text and " room" in o.text for o in options),
               "each choice shows the server's name and port")
        field("username").send_keys("admin")
        field("password").send_keys("wrong")
        submit("login")
        arrive("Log in", "a wrong password stays on the login page")
        expect("wrong" in el("#login-notice").text, "a failed login says so in words")
        shot("login-failed")
        field("username").send_keys("admin")
        field("password").send_keys(PASSWORD)
        Select(field("serverport")).select_by_value(str(udp[0]))
        submit("login")
        arrive("Overview", "a right password leads to the overview")

        # ---- navigation on every page, the current one marked
        nav = [a.text for a in els("header.top nav a")]
        expect(nav == ["Overview", "Players", "Settings", "Bans", "Accounts", "Log", "Servers",
                       "All servers", "Log out"],
               "navigation: %s" % nav)
        for page, title, link in (("players.html", "Players", "nav-players"), ("server_settings.html", "Settings",
                                  "nav-settings"), ("client_manager.html", "Accounts", "nav-accounts"),
                                  ("servers.html", "Servers", "nav-servers"), ("index.html", "Overview",
                                                                               "nav-overview")):
            driver.get(base + page)
            arrive(title, page)
            current = [a.get_attribute("id") for a in els("header.top nav a[aria-current=page]")]
            expect(current == [link], "%s marks its own link (%s)" % (page, current))
        expect(driver.execute_script("return getComputedStyle(document.getElementById('nav-overview'))"
                                     ".backgroundColor") != driver.execute_script(
            "return getComputedStyle(document.getElementById('nav-players')).backgroundColor"),
            "the marked link looks different")

        # ---- Players: the list is the query's list
        watch.send("talk bob 400")  # 8 s of voice: bob talks, and the traffic chart has something to show
        driver.get(base + "players.html")
        arrive("Players", "players page")
        expect(el("td.talking", player_row("bob")).text == "talking", "bob is shown talking")
        expect(el("td.talking", player_row("ann")).text == "no", "ann is not")
        truth = query.players(udp[0])
        shown = sorted(el("td.nick", r).text for r in els("#players-table tbody tr"))
        expect(shown == sorted(truth), "the page lists who is online: %s vs %s" % (shown, sorted(truth)))
        expect(el("td.address", player_row("ann")).text == "127.0.0.1", "an administrator sees the address")
        expect(el("td.channel", player_row("op")).text == "Default", "a registered channel does not take its maker along")
        shot("players")
        shot("players", phone=True)

        # The list refreshes itself without a reload.
        driver.execute_script("window.notReloaded = true")
        watch.login("dee")
        WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,)).until(
            lambda d: player_row("dee") is not None)
        expect(driver.execute_script("return window.notReloaded === true"), "the refresh did not reload the page")
        # The actions below start on a freshly loaded list, well before its next replacement.
        driver.get(base + "players.html")
        arrive("Players", "players page again")

        # Message: bob alone receives it, as the server's text.
        row = player_row("bob")
        el("input[name=text]", row).send_keys("Hello bob")
        row_action(row, "Message")
        expect(box("ok") == "the message was sent to bob", "message confirmed")
        ok_back("players.html")
        arrive("Players", "back to the players")
        msg = watch.wait("bob's message", lambda e: e.get("code") == "130" and e.get("text") == "Hello bob")
        expect(msg["nick"] == "bob" and msg["sender"] == "SERVER" and msg["value"] == "255", "a server text: %s" % msg)
        row = player_row("ann")
        el("input[name=text]", row).send_keys("Hello ann")
        row_action(row, "Message")
        box("ok")
        watch.wait("ann's message", lambda e: e["nick"] == "ann" and e.get("text") == "Hello ann")
        expect(len(watch.seen(lambda e: e.get("text") == "Hello bob")) == 1, "only bob got bob's message")

        # Move: everybody sees cy switch to the moderated Quiet, as with the voice command.
        driver.get(base + "players.html")
        row = player_row("cy")
        Select(el("select[name=channel]", row)).select_by_value(str(channel_id["Quiet"]))
        row_action(row, "Move")
        expect(box("ok") == "cy was moved to Quiet", "move confirmed")
        cy = truth["cy"][0]
        for nick in ("ann", "bob", "cy", "op"):
            watch.wait(nick + " sees the move", lambda e, n=nick: e["nick"] == n and e.get("code") == "103"
                       and e.get("player") == str(cy) and e.get("to") == str(channel_id["Quiet"]))
        expect(query.players(udp[0])["cy"][1] == channel_id["Quiet"], "pl shows cy in Quiet")
        ok_back("players.html")
        arrive("Players", "back to the players")
        row = player_row("cy")
        expect(el("td.channel", row).text == "Quiet" and el("td.muted", row).text == "muted",
               "cy sits muted in the moderated channel")

        # Kick asks first; then ann is gone, the others told with reason 2.
        driver.get(base + "players.html")
        row_action(player_row("ann"), "Kick")
        expect(box("choice") == "you really want to kick ann", "the kick asks first")
        shot("kick-choice")
        el("#choice-yes").click()
        expect(box("ok") == "ann was kicked from the server", "kick confirmed")
        ann = truth["ann"][0]
        for nick in ("ann", "bob"):
            watch.wait(nick + " hears of the kick", lambda e, n=nick: e["nick"] == n and e.get("code") == "101"
                       and e.get("player") == str(ann) and e.get("reason") == "2")
        wait_until("ann leaves pl", lambda: "ann" not in query.players(udp[0]))

        # Kick and ban: dee hears the reason, its address is refused a new
        # login until the Bans page lifts the ban.
        driver.get(base + "players.html")
        arrive("Players", "players page for a ban")
        row = player_row("dee")
        row.find_element(By.NAME, "reason").send_keys("flooding")
        Select(row.find_element(By.NAME, "ban")).select_by_value("address")
        row.find_element(By.NAME, "minutes").send_keys("30")
        row_action(row, "Kick")
        expect(box("choice") == "you really want to kick dee", "kick and ban asks first")
        el("#choice-yes").click()
        expect(box("ok") == "dee was kicked and banned", "kick and ban confirmed")
        watch.wait("dee hears why", lambda e: e["nick"] == "dee" and e.get("code") == "101"
                   and e.get("reason") == "2" and e.get("message") == "flooding")
        watch.send("login banned")
        refused = watch.wait("a banned login", lambda e: e["kind"] == "LOGIN" and e["nick"] == "banned")
        expect(refused["result"] == "-1", "the banned address is refused: " + str(refused))
        driver.get(base + "bans.html")
        arrive("Bans", "the Bans page")
        rows = [r for r in els("#bans-list tbody tr") if "127.0.0.1" in r.text]
        expect(len(rows) == 1 and "flooding" in rows[0].text, "the Bans page lists the ban with its reason")
        shot("bans")
        row_action(rows[0], "Lift")
        expect(box("ok") == "the ban of 127.0.0.1 was lifted", "the ban is lifted")
        watch.login("unbanned")
        driver.get(base + "log.html?kind=lift")
        arrive("Log", "the Log page")
        expect("ban 1: ip 127.0.0.1" in el("#log-list").text, "the Log page shows the lift")

        # ---- Settings apply live: nobody is thrown off
        before = query.players(udp[0])
        driver.get(base + "server_settings.html")
        arrive("Settings", "settings page")
        welcome = field("SERVERWELCOMEMESSAGE")
        welcome.clear()
        welcome.send_keys("Welcome, fixed typo")
        name = field("SERVERNAME")
        name.clear()
        name.send_keys("Main room")
        submit("settings")
        ok_text = box("ok")
        expect("players stay connected" in ok_text, "the settings applied live: " + ok_text)
        info = query.info(udp[0])
        expect(info["server_name"] == "Main room" and info["server_welcomemessage"] == "Welcome, fixed typo",
               "si shows the new settings")
        expect(query.players(udp[0]) == before, "the same players, same ids, still online")
        expect(not watch.seen(lambda e: e.get("code") == "101" and e.get("reason") == "4"), "no one was disconnected")
        e = watch.login("eve")
        expect(e["name"] == "Main room" and e["welcome"] == "Welcome, fixed typo", "a new login gets the new texts")
        expect(read_ini(work)["server_cfg Default"]["ServerName"] == "Main room", "server.ini keeps the new name")

        # A name the code page cannot carry is refused; the old one stays, the input too.
        driver.get(base + "server_settings.html")
        name = field("SERVERNAME")
        name.clear()
        name.send_keys("\u0141\u00f3d\u017a")
        submit("settings")
        expect("cannot store" in box("error"), "the foreign name is refused in words")
        shot("settings-refused")
        el("#error-ok").click()
        arrive("Settings", "the error leads back to the settings")
        expect(field("SERVERNAME").get_attribute("value") == "\u0141\u00f3d\u017a", "the refused input is kept")
        expect(query.info(udp[0])["server_name"] == "Main room", "the old name stays")

        # ---- Servers: the query's list and server.ini are the truth
        driver.get(base + "servers.html")
        arrive("Servers", "servers page")

        def server_row(sid):
            return el('#servers-table tr[data-server="server_cfg %s"]' % sid)

        ports = [int(el("td.port", r).text) for r in els("#servers-table tbody tr")]
        expect(ports == sorted(udp), "every server, sorted by port")
        stop = server_row("Gamma").find_element(By.XPATH, ".//button[text()='Stop']")
        expect(driver.execute_script("return getComputedStyle(arguments[0]).backgroundColor", stop)
               == "rgb(179, 38, 30)", "Stop looks destructive")
        row_action(server_row("Gamma"), "Stop")
        expect(box("choice") == "stop server_cfg Gamma? Nobody is online.", "Stop asks first")
        expect(udp[3] in query.ports(), "nothing stopped before the yes")
        el("#choice-yes").click()
        box("ok")
        expect(udp[3] not in query.ports(), "sl no longer lists Gamma")
        driver.get(base + "servers.html")
        expect(el("td.state", server_row("Gamma")).text == "stopped", "a stopped server stays listed")
        shot("servers-stopped")
        row_action(server_row("Gamma"), "Start")
        box("ok")
        expect(udp[3] in query.ports(), "Start brings Gamma back")
        driver.get(base + "servers.html")
        before = query.players(udp[0])
        row_action(server_row("Default"), "Restart")
        expect(box("choice") == "restart server_cfg Default? The %d players online will be disconnected." % len(before),
               "Restart asks first and says how many players it throws off")
        shot("restart-choice")
        el("#choice-yes").click()
        box("ok")
        for nick in ("bob", "cy"):
            watch.wait(nick + " told of the restart", lambda e, n=nick: e["nick"] == n and e.get("code") == "101"
                       and e.get("reason") == "4")
        wait_until("Default runs again", lambda: udp[0] in query.ports())
        expect(before and not query.players(udp[0]), "the restart threw the players off")

        new_port = port_for_a_later_server()
        driver.get(base + "servers.html")
        field("NEWSERVERNAME").send_keys("Delta")
        field("NEWSERVERPORT").send_keys(str(new_port))
        submit("add-server")
        box("ok")
        expect(new_port in query.ports(), "sl lists the new server")
        expect("server_cfg Delta" in read_ini(work)["Servers"].values(), "server.ini lists it")
        expect(query.on(new_port).cmd("adduser doomed pw 0 0") == ["OK"], "an account on the new server")
        driver.get(base + "servers.html")
        shot("servers")
        shot("servers", phone=True)
        row_action(server_row("Delta"), "Remove")
        expect("Delta" in box("choice"), "remove asks first")
        el("#choice-yes").click()
        box("ok")
        ini = read_ini(work)
        expect(new_port not in query.ports() and "server_cfg Delta" not in ini["Servers"].values()
               and not ini.has_section("server_cfg Delta"), "Delta is gone from sl and server.ini")
        driver.get(base + "servers.html")
        field("NEWSERVERNAME").send_keys("Delta")
        field("NEWSERVERPORT").send_keys(str(new_port))
        submit("add-server")
        box("ok")
        expect(query.on(new_port).cmd("listuser") == ["ERROR, no users avaible"], "its accounts went with it")

        # ---- the header's switch: every page shows the chosen server, without a new login
        driver.get(base + "players.html")
        Select(el("#switch-server")).select_by_value("server_cfg Alpha")
        el("#server-switch button").click()
        arrive("Players", "the switch comes back to the same page")
        # The page before the switch was the Players page too: wait for the
        # new one, whose header names Alpha.
        try:
            WebDriverWait(driver, 20, ignored_exceptions=[StaleElementReferenceException]).until(
                lambda d: d.find_element(By.CSS_SELECTOR, "header.top .brand small").text == "Alpha room")
            switched = True
        except Exception:
            switched = False
        expect(switched, "the header names Alpha")
        expect(els("#no-players"), "Alpha's players: nobody")
        driver.get(base + "index.html")
        expect(el("#port").text == str(udp[1]), "the overview is Alpha's")
        shot("switched")
        # All servers: every server, filtered and sorted in the page
        driver.get(base + "all_servers.html")
        arrive("All servers", "all servers page")
        rows = els("#all-servers tbody tr")
        expect(len(rows) == len(query.ports()), "every running server is listed")
        expect("selected" in el('#all-servers tr[data-server="server_cfg Alpha"]').get_attribute("class"),
               "the shown server is marked")
        el("#all-servers-filter").send_keys("Gamma")
        visible = [el("td.name", r).text for r in els("#all-servers tbody tr") if r.is_displayed()]
        expect(visible == ["Gamma room"], "the filter shows Gamma only: %s" % visible)
        shot("all-servers")
        shot("all-servers", phone=True)
        driver.get(base + "all_servers.html")  # the filter hides Default's row
        el('#all-servers tr[data-server="server_cfg Default"] button').click()
        arrive("Overview", "Open switches back to Default")
        expect(el("#port").text == str(udp[0]), "the overview is Default's again")

        # ---- the overview's charts follow the players online
        for nick in ("bob", "cy"):
            watch.login(nick + "2")
        online = len(query.players(udp[0]))

        def charted():
            driver.get(base + "index.html")
            lines = els("svg#chart-players polyline")
            return lines and lines[0].get_attribute("data-last") == str(online)
        wait_until("the players chart shows %d players" % online, charted, timeout=30, step=1)
        expect(len(els("svg#chart-traffic polyline")) == 2, "traffic in and out")
        shot("overview")
        shot("overview", phone=True)

        # ---- accounts: rights, filter, sorting; an empty password asks first
        main_query = query.on(udp[0])
        main_query.cmd("adduser zed pw 1 0")
        driver.get(base + "client_manager.html")
        arrive("Accounts", "accounts page")
        rights = {el("td.loginname", r).text: el("td.rights", r).text for r in els("#accounts tbody tr")}
        expect(rights.get("zed") == "server admin" and rights.get("admin") == "server admin, super server admin",
               "the rights column: %s" % rights)
        el("#accounts-filter").send_keys("zed")
        visible = [el("td.loginname", r).text for r in els("#accounts tbody tr") if r.is_displayed()]
        expect(visible == ["zed"], "the filter shows zed only: %s" % visible)
        el("#accounts-filter").clear()
        driver.execute_script("document.getElementById('accounts-filter').dispatchEvent(new Event('input'))")
        el("#accounts thead th button").click()  # login name, ascending
        el("#accounts thead th button").click()  # descending
        names = [el("td.loginname", r).text for r in els("#accounts tbody tr")]
        expect(names == sorted(names, key=str.lower, reverse=True), "sorted by login name: %s" % names)
        shot("accounts")
        shot("accounts", phone=True)
        field("CLIENTLOGINNAME").send_keys("nopw")
        submit("add-client")
        expect("without a password" in box("choice"), "an empty password asks first")
        el("#choice-yes").click()
        box("ok")
        expect("nopw" in main_query.cmd("listuser"), "the account was added after the yes")
        driver.get(base + "client_edit.html?client=ghost")
        expect(el("#no-such-account").is_displayed() and "%%" not in el("body").text, "no such account, no markers")

        # ---- errors and log-out
        driver.get(base + "missing.html")
        expect(el("h1").text == "Not Found" and els("a[href='index.html']"), "a 404 with the site's look")
        shot("not-found")
        el("#nav-logout").click()
        arrive("Log in", "log out leads back to the login page")
        expect(el("#login-notice").text == "You have logged out", "log out is confirmed")
        shot("logged-out")
        driver.back()
        arrive("Log in", "Back after log out shows no admin page from the cache")

        # Rights taken away while logged in: the next page says why.
        field("username").send_keys("zed")
        field("password").send_keys("pw")
        Select(field("serverport")).select_by_value(str(udp[0]))
        submit("login")
        arrive("Overview", "zed logs in")
        expect("Servers" not in [a.text for a in els("header.top nav a")], "no Servers for a server admin")
        driver.get(base + "players.html")
        arrive("Players", "zed looks at the players")
        main_query.cmd("changeuserrights zed 0 0")
        # The list's next refresh finds the session ended and the page follows.
        arrive("Log in", "a session whose rights went lands on the login page by itself")
        expect("rights changed" in el("#login-notice").text, "with the reason")
        # ---- a thousand players: the list is paged, searched and sorted, and its refresh keeps that
        crowd_port = udp[SERVERS.index(CROWDED)]
        bot = subprocess.Popen([bot_exe, "--port", str(crowd_port), "--clients", str(CROWD), "--speakers", "0",
                                "--duration", "240", "--channel-prefix", "", "--login-window", "50"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until("the bot logs %d players in" % CROWD, lambda: len(query.players(crowd_port)) == CROWD,
                   timeout=120, step=1)
        driver.get(base)
        arrive("Log in", "the login page for the crowded server")
        field("username").send_keys("admin")
        field("password").send_keys(PASSWORD)
        Select(field("serverport")).select_by_value(str(crowd_port))
        submit("login")
        arrive("Overview", "logged in to the crowded server")
        driver.get(base + "players.html")
        arrive("Players", "the crowded players page")

        def quietly(read):
            # A page being replaced (a click's navigation, the list's refresh)
            # has no element to read for a moment: ask again.
            try:
                return read()
            except (StaleElementReferenceException, NoSuchElementException):
                return None

        def nicks():
            for _ in range(5):
                got = quietly(lambda: [el("td.nick", r).text for r in els("#players-table tbody tr")])
                if got is not None:
                    return got
                time.sleep(0.2)
            return []

        def text_of(selector):
            return quietly(lambda: el(selector).text) or ""

        expect(el("#players-count").text.startswith("%d players online" % CROWD), el("#players-count").text)
        first_page = nicks()
        expect(len(first_page) == 50, "50 players a page: %d" % len(first_page))
        expect(first_page[:3] == ["bot1", "bot10", "bot100"], "sorted by nickname: %s" % first_page[:3])
        expect("Page 1 of 20" in el("#players-pager").text, el("#players-pager").text)
        el("#players-pager a[rel=next]").click()
        wait_until("page 2", lambda: "Page 2 of 20" in text_of("#players-pager"))
        second_page = nicks()
        expect(len(second_page) == 50 and not set(first_page) & set(second_page), "page 2 holds the next 50")
        field("q").send_keys("bot77")
        el("#players-search button").click()
        wait_until("the search", lambda: "matching" in text_of("#players-count"))
        expect(el("#players-count").text.startswith("%d players online, 11 matching" % CROWD),
               el("#players-count").text)
        expect(sorted(nicks()) == sorted(["bot77"] + ["bot77%d" % d for d in range(10)]), "found: %s" % nicks())
        el("#players-table th a.sort").click()  # the nickname's heading, sorted ascending: now descending
        wait_until("sorted descending", lambda: nicks()[:1] == ["bot779"])
        expect(el("#players-q").get_attribute("value") == "bot77", "the search stays in its field")
        shot("players-crowded")
        # The refresh reads the same page of the same search: nothing moves.
        wait_until("the list refreshes", lambda: quietly(lambda: el("#players").get_attribute("data-updated")),
                   timeout=20, step=0.5)
        expect(nicks()[:1] == ["bot779"] and len(nicks()) == 11, "the refresh keeps the search and order: %s" % nicks())
        bot.terminate()
        bot.wait(timeout=30)
        bot = None
        print("PASS: %d screenshots in %s, %.0f s" % (count[0], shots, time.time() - started))
    finally:
        if bot:
            bot.kill()
            bot.wait()
        if driver:
            driver.quit()
        if watch:
            watch.close()
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
