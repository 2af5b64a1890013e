#!/usr/bin/env python3
"""What one open Players tab costs the server: a fresh parleon-server in a
temporary folder, parleon-bot logs --clients players in to it and keeps them
alive, and the web interface is logged in to over HTTP. The server's CPU
(from /proc) is read over a quiet window with nobody looking, then over an
equal window in which a tab's refresh runs every 5 s (the JSON of its page,
with a browser's "Accept-Encoding: gzip, deflate, br"); the difference is the
tab's share of a core. The Players page itself is fetched once and its time
to the last byte printed.

  bench/web_tab_cpu.py                      (1000 players, 60 s windows)
  bench/web_tab_cpu.py --clients 500 --window 30

Bounded: at most 5000 clients, 120 s windows, and a time limit on the bot.
"""
import argparse
import http.client
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

PASSWORD = "bench-pw"
ENCODING = "gzip, deflate, br"


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until(what, cond, timeout):
    deadline = time.time() + timeout
    while not cond():
        if time.time() > deadline:
            raise SystemExit("timed out: " + what)
        time.sleep(0.5)


def online(query_port, udp):
    with socket.create_connection(("127.0.0.1", query_port), timeout=10) as s:
        s.sendall(b"pl %d\r\nquit\r\n" % udp)
        data = b""
        while b"\r\nOK\r\n" not in data and b"ERROR" not in data:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            data += chunk
    return sum(1 for line in data.split(b"\r\n") if line.count(b"\t") > 10)


def request(port, method, path, cookie="", body=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Accept-Encoding": ENCODING}
    if cookie:
        headers["Cookie"] = "PLSESSION=" + cookie
    if body is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    c.request(method, path, body=body, headers=headers)
    r = c.getresponse()
    data = r.read()
    c.close()
    return r, data


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--clients", type=int, default=1000)
    p.add_argument("--window", type=float, default=60)
    o = p.parse_args()
    o.clients = max(1, min(o.clients, 5000))
    o.window = max(10, min(o.window, 120))
    build = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build")
    exe, bot_exe = os.path.join(build, "parleon-server"), os.path.join(build, "parleon-bot")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    work = tempfile.mkdtemp(prefix="parleon-web-tab-")
    http_port, query_port, udp = (free_port(socket.SOCK_STREAM), free_port(socket.SOCK_STREAM),
                                  free_port(socket.SOCK_DGRAM))
    shutil.copytree(os.path.join(source, "httpdocs"), os.path.join(work, "httpdocs"))
    with open(os.path.join(work, "server.ini"), "w") as ini:
        ini.write("[Main Config]\nHTTPServer Port=%d\nTCPQueryPort=%d\nBoundToIp=127.0.0.1\n"
                  "ExternalIPDectection=0\n[WebPost]\nEnabled=0\n[Servers]\n0=server_cfg Default\n"
                  "[server_cfg Default]\nServerUDPPort=%d\nServerMaxUsers=%d\n"
                  % (http_port, query_port, udp, o.clients + 10))
    server = subprocess.Popen([exe, "-ADMINPW=" + PASSWORD], cwd=work, stdout=subprocess.DEVNULL,
                              stderr=subprocess.STDOUT)
    bot = None
    try:
        def listening():
            try:
                socket.create_connection(("127.0.0.1", http_port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_until("the server opens its web port", listening, 30)
        bot = subprocess.Popen([bot_exe, "--port", str(udp), "--clients", str(o.clients), "--speakers", "0",
                                "--duration", str(int(2 * o.window + 240)), "--channel-prefix", "",
                                "--login-window", "50"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until("%d players online" % o.clients, lambda: online(query_port, udp) >= o.clients, 180)
        r, _ = request(http_port, "GET", "/login.html")
        cookie = r.getheader("Set-Cookie").split(";")[0].split("=", 1)[1]
        form = urllib.parse.urlencode({"username": "admin", "password": PASSWORD, "serverport": udp})
        r, _ = request(http_port, "POST", "/LOGIN.PLCMD", cookie, form)
        cookie = (r.getheader("Set-Cookie") or "PLSESSION=" + cookie).split(";")[0].split("=", 1)[1]
        if r.getheader("Location") != "index.html":
            raise SystemExit("the login failed: %s" % r.getheader("Location"))
        time.sleep(5)  # the notices of the last logins settle
        started = time.time()
        r, page = request(http_port, "GET", "/players.html", cookie)
        print("players page: %.1f ms to the last byte, %d bytes sent (%s)"
              % ((time.time() - started) * 1e3, len(page), r.getheader("Content-Encoding") or "plain"))

        before, t0 = cpu_seconds(server.pid), time.time()
        time.sleep(o.window)
        quiet = (cpu_seconds(server.pid) - before) / (time.time() - t0)
        before, t0 = cpu_seconds(server.pid), time.time()
        sent = refreshes = 0
        while time.time() - t0 < o.window:
            _, data = request(http_port, "GET", "/PLAYERS_LIST.PLCMD", cookie)
            sent += len(data)
            refreshes += 1
            time.sleep(max(0.0, t0 + refreshes * 5 - time.time()))
        looking = (cpu_seconds(server.pid) - before) / (time.time() - t0)
        print("%d players; server CPU over %.0f s: %.2f %% of a core with nobody looking, %.2f %% with one tab "
              "(%d refreshes, %d bytes each); the tab: %.2f %% of a core"
              % (o.clients, o.window, quiet * 100, looking * 100, refreshes, sent // max(refreshes, 1),
                 (looking - quiet) * 100))
    finally:
        if bot:
            bot.terminate()
            bot.wait(timeout=30)
        server.terminate()
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
