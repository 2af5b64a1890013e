#!/usr/bin/env python3
"""Logs in many players that stay idle and measures what they cost the
server: its resident memory and its CPU for their keep-alive traffic (each
client pings every 5 s, as a client must to stay listed).

One fresh parleon-server in a temporary folder (set up as in
relay_compare.py); parleon-bot logs the clients in with several logins in
flight, lets the notices settle, then measures a quiet window.

  bench/idle_players.py --clients 10000 --login-window 200 --duration 30
  bench/idle_players.py --clients 10000 --servers 4
      (the clients split over four virtual servers of the one process, one
       bot each, run side by side; each reports the whole process: give
       --warmup enough for every bot's logins to end before any window starts)
  bench/idle_players.py --clients 10000 --servers 10 --relay minimal
      (the same bots against bench/minimal_relay_tool, one socket, which
       answers each ping at once and does nothing else: the floor of what
       keeping idle players costs on this machine)
  bench/idle_players.py --clients 10000 --servers 10 --relay minimal-each
      (one minimal relay process per port, as the server has one socket and
       one reader per virtual server; it prints their CPU added up)

Every player entering is announced to every other on its virtual server by a
command that must be acknowledged, so logins cost O(n^2) per virtual server.

Bounded: at most 20000 clients, a 60 s window, and a time limit on the bot.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from relay_compare import free_udp_port, start_minimal, start_server, stop


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, kind, default in (("--clients", int, 10000), ("--login-window", int, 200), ("--duration", float, 30),
                                ("--time-limit", float, 900), ("--servers", int, 1),
                                ("--warmup", float, 5), ("--login-timeout", int, 30000)):
        p.add_argument(name, type=kind, default=default)
    p.add_argument("--relay", choices=["server", "minimal", "minimal-each"], default="server")
    p.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    opts = p.parse_args()
    if not 0 < opts.servers <= 16:
        sys.exit("one to 16 virtual servers")
    if not 0 < opts.clients <= 20000 or not 0 < opts.duration <= 60 or opts.time_limit > 1800:
        sys.exit("bounded runs only: at most 20000 clients, a 60 s window and 1800 s in all")
    build = os.path.abspath(opts.build)
    print(f"load average before: {os.getloadavg()[0]:.2f}", flush=True)
    workdir = tempfile.mkdtemp(prefix="idle_players_", dir="/tmp")
    ports = [free_udp_port() for _ in range(opts.servers)]
    try:
        with open(os.path.join(workdir, "run.log"), "w") as log:
            if opts.relay == "minimal":
                proc = start_minimal(build, ports[0], log)
                ports = [ports[0]] * opts.servers
                relays = [proc]
            elif opts.relay == "minimal-each":
                relays = []
                try:
                    for port in ports:
                        relays.append(start_minimal(build, port, log))
                except Exception:
                    for relay in relays:
                        stop(relay)
                    raise
            else:
                proc = start_server(build, ports[0], 1, workdir, log, ports[1:])
                relays = [proc]
            bots = []
            shares = []
            try:
                for i, port in enumerate(ports):
                    clients = opts.clients // opts.servers + (i < opts.clients % opts.servers)
                    pid = relays[min(i, len(relays) - 1)].pid
                    cmd = [os.path.join(build, "parleon-bot"), "--port", str(port), "--server-pid", str(pid),
                           "--clients", str(clients), "--channel-prefix", "", "--speakers", "0",
                           "--duration", str(opts.duration), "--warmup", str(opts.warmup), "--login-window",
                           str(opts.login_window), "--login-timeout", str(opts.login_timeout), "--progress"]
                    bots.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
                deadline = time.monotonic() + opts.time_limit
                for i, bot in enumerate(bots):
                    out, _ = bot.communicate(timeout=max(1.0, deadline - time.monotonic()))
                    if opts.servers > 1:
                        print(f"== virtual server {i + 1}")
                    print(out, end="")
                    m = re.search(r"server_cpu_s=([0-9.]+) .*window_s=([0-9.]+)", out)
                    if m:
                        shares.append(float(m.group(1)) / float(m.group(2)))
                if opts.relay == "minimal-each" and len(shares) == len(relays):
                    print(f"all {len(relays)} relays together: {100 * sum(shares):.1f}% of a core")
            finally:
                for bot in bots:
                    stop(bot)
                for relay in relays:
                    stop(relay)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
