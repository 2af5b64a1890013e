#!/usr/bin/env python3
"""Runs parleon-bot against parleon-server and against the minimal relay
(bench/minimal_relay_tool.cpp) with identical options, alternating the two,
and prints both and their ratio: medians over the runs and the worst run.

Each relay gets a fresh process per run on a free loopback port. The server
runs in a temporary folder with a server.ini written here (loopback only, no
web interface, query port or list announcement, ServerMaxUsers raised) and a
server.db holding the load channels, made by bench/channel_setup_tool.

  bench/relay_compare.py --clients 500 --channels 10 --speakers 50
  bench/relay_compare.py --clients 500 --channels 10 --sweep-speakers 50,80,110
      (the saturation point: the highest delivered/s with a median delivery
       ratio of at least 99 %, for each relay)

Everything is bounded: every process gets a time limit and is killed at the
end of its run. Logs go to --log-dir (default /tmp/relay_compare_<pid>).
"""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SERVER_ID = "server_cfg Default"
CHANNEL_PREFIX = "Load"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=10)


def start_server(build, port, channels, workdir, log, extra_ports=()):
    """One server process; each of `extra_ports` adds a virtual server of its
    own (no load channels, its players go to the default channel)."""
    ids = [SERVER_ID] + [f"server_cfg Extra{i}" for i in range(1, len(extra_ports) + 1)]
    ini = os.path.join(workdir, "server.ini")
    with open(ini, "w") as f:
        f.write(
            "[Main Config]\nHTTPServer Enabled=0\nTCPQueryPort=0\nBoundToIp=127.0.0.1\n"
            "ExternalIPDectection=0\n[WebPost]\nEnabled=0\n[Servers]\n"
            + "".join(f"{i}={sid}\n" for i, sid in enumerate(ids))
            + "".join(f"[{sid}]\nServerUDPPort={p}\nServerMaxUsers=60000\nServerType=1\n"
                      for sid, p in zip(ids, [port, *extra_ports]))
        )
    subprocess.run(
        [os.path.join(build, "bench", "channel_setup_tool"), "--db", os.path.join(workdir, "server.db"),
         "--server-id", SERVER_ID, "--channels", str(channels), "--prefix", CHANNEL_PREFIX],
        check=True, stdout=log, stderr=log, timeout=30)
    proc = subprocess.Popen([os.path.join(build, "parleon-server")], cwd=workdir, stdout=log, stderr=log)
    server_log = os.path.join(workdir, "server.log")

    def started():
        try:
            with open(server_log, "rb") as f:
                return b"Server startup finished" in f.read()
        except OSError:
            return False

    if not wait_for(started, 15):
        stop(proc)
        raise RuntimeError("parleon-server did not start, see " + server_log)
    return proc


def start_minimal(build, port, log):
    proc = subprocess.Popen([os.path.join(build, "bench", "minimal_relay_tool"), "--port", str(port)],
                            stdout=subprocess.PIPE, stderr=log, text=True)
    line = proc.stdout.readline()
    if "listening" not in line:
        stop(proc)
        raise RuntimeError("minimal relay did not start: " + line)
    return proc


def run_bot(build, port, pid, opts, log):
    cmd = [os.path.join(build, "parleon-bot"), "--port", str(port), "--server-pid", str(pid),
           "--clients", str(opts.clients), "--channels", str(opts.channels), "--speakers", str(opts.speakers),
           "--fps", str(opts.fps), "--payload", str(opts.payload), "--duration", str(opts.duration),
           "--warmup", str(opts.warmup), "--threads", str(opts.threads)]
    if opts.channels == 1:
        cmd += ["--channel-prefix", ""]
    # Logins take a few ms each; the rest is the schedule plus a margin.
    limit = 60 + opts.clients * 0.05 + opts.warmup + opts.duration + 5
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=log, text=True, timeout=limit).stdout
    log.write(out)
    log.flush()
    m = re.search(r"^RESULT (.*)$", out, re.M)
    if not m:
        raise RuntimeError("parleon-bot printed no result")
    return {k: float(v) for k, v in (kv.split("=") for kv in m.group(1).split())}


def one_run(kind, build, opts, logdir, index):
    port = free_udp_port()
    with open(os.path.join(logdir, f"{kind}_{opts.speakers}s_{index}.log"), "w") as log:
        workdir = tempfile.mkdtemp(prefix="relay_cmp_", dir="/tmp")
        try:
            if kind == "server":
                # With one channel everyone enters the default one, which the set-up makes Load1.
                proc = start_server(build, port, opts.channels, workdir, log)
            else:
                proc = start_minimal(build, port, log)
            try:
                return run_bot(build, port, proc.pid, opts, log)
            finally:
                stop(proc)
                if kind == "server":
                    shutil.copy(os.path.join(workdir, "server.log"), os.path.join(logdir, f"server_{opts.speakers}s_{index}.server.log"))
        finally:
            shutil.rmtree(workdir, ignore_errors=True)


def summary(runs):
    per_s = [r["per_s"] for r in runs]
    ratio = [r["ratio"] for r in runs]
    p99 = [r["p99_us"] for r in runs]
    cpu = [r["server_cpu_s"] * 1e6 / r["delivered"] for r in runs if r["delivered"] > 0]
    bot = [r["bot_cpu_s"] / r["window_s"] for r in runs]
    return {
        "per_s": statistics.median(per_s), "per_s_worst": min(per_s),
        "ratio": statistics.median(ratio), "ratio_worst": min(ratio),
        "p50_ms": statistics.median(r["p50_us"] for r in runs) / 1e3,
        "p99_ms": statistics.median(p99) / 1e3, "p99_worst_ms": max(p99) / 1e3,
        "max_ms": max(r["max_us"] for r in runs) / 1e3,
        "cpu_us": statistics.median(cpu) if cpu else float("nan"),
        "cpu_us_worst": max(cpu) if cpu else float("nan"),
        "bot_share": statistics.median(bot),
    }


def describe(name, s):
    return (f"{name:14s} delivered/s median {s['per_s']:9.0f} worst {s['per_s_worst']:9.0f} | "
            f"ratio median {s['ratio']:.4f} worst {s['ratio_worst']:.4f} | "
            f"latency p50 {s['p50_ms']:.3f} ms, p99 median {s['p99_ms']:.3f} worst {s['p99_worst_ms']:.3f}, "
            f"max {s['max_ms']:.3f} ms | relay cpu/delivery median {s['cpu_us']:.2f} us worst {s['cpu_us_worst']:.2f} | "
            f"bot cpu {100 * s['bot_share']:.0f}% of a core")


def compare(build, opts, logdir, kinds):
    results = {k: [] for k in kinds}
    for i in range(opts.runs):
        # Alternate which relay goes first, so neither always meets the same disturbance.
        order = kinds if i % 2 == 0 else list(reversed(kinds))
        for kind in order:
            r = one_run(kind, build, opts, logdir, i)
            results[kind].append(r)
            print(f"  run {i + 1} {kind:7s}: logins {r['logins']:.0f}/{r['clients']:.0f} delivered/s {r['per_s']:.0f} "
                  f"ratio {r['ratio']:.4f} p50 {r['p50_us'] / 1e3:.3f} ms p99 {r['p99_us'] / 1e3:.3f} ms "
                  f"max {r['max_us'] / 1e3:.3f} ms relay cpu {r['server_cpu_s']:.2f} s bot cpu {r['bot_cpu_s']:.2f} s",
                  flush=True)
    return {k: summary(v) for k, v in results.items()}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(here, "..", "build"))
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--clients", type=int, default=50)
    p.add_argument("--channels", type=int, default=1)
    p.add_argument("--speakers", type=int, default=1)
    p.add_argument("--fps", type=int, default=50)
    p.add_argument("--payload", type=int, default=100)
    p.add_argument("--duration", type=float, default=10)
    p.add_argument("--warmup", type=float, default=2)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--only", choices=["server", "minimal"], help="run one relay only")
    p.add_argument("--sweep-speakers", help="comma-separated speaker counts: find the saturation point")
    p.add_argument("--log-dir", default=f"/tmp/relay_compare_{os.getpid()}")
    opts = p.parse_args()
    if opts.runs < 1 or opts.runs > 9 or opts.clients > 5000 or opts.duration > 60:
        sys.exit("bounded runs only: 1..9 runs, at most 5000 clients and 60 s each")
    build = os.path.abspath(opts.build)
    os.makedirs(opts.log_dir, exist_ok=True)
    kinds = [opts.only] if opts.only else ["server", "minimal"]
    print(f"logs in {opts.log_dir}; load average before: {os.getloadavg()[0]:.2f}")

    loads = [int(s) for s in opts.sweep_speakers.split(",")] if opts.sweep_speakers else [opts.speakers]
    best = {k: None for k in kinds}
    for speakers in loads:
        opts.speakers = speakers
        print(f"{opts.clients} clients in {opts.channels} channels, {speakers} speakers at {opts.fps} frames/s, "
              f"{opts.payload} bytes, {opts.duration:g} s after {opts.warmup:g} s warm-up, {opts.runs} runs each:")
        s = compare(build, opts, opts.log_dir, kinds)
        for k in kinds:
            print(describe(k, s[k]))
            if s[k]["ratio"] >= 0.99 and (best[k] is None or s[k]["per_s"] > best[k][1]["per_s"]):
                best[k] = (speakers, s[k])
        if len(kinds) == 2:
            print(f"ratio server/minimal: delivered/s {s['server']['per_s'] / s['minimal']['per_s']:.3f}, "
                  f"cpu per delivery {s['server']['cpu_us'] / s['minimal']['cpu_us']:.2f}")
    if opts.sweep_speakers:
        print("saturation (highest median delivered/s with median ratio >= 0.99):")
        for k in kinds:
            if best[k]:
                sp, s = best[k]
                print(f"  {k:8s} {s['per_s']:.0f}/s at {sp} speakers, cpu per delivery {s['cpu_us']:.2f} us, "
                      f"p50 {s['p50_ms']:.3f} ms, p99 {s['p99_ms']:.3f} ms")
            else:
                print(f"  {k:8s} none of the loads reached 99 %")
        if len(kinds) == 2 and best["server"] and best["minimal"]:
            print(f"  ratio server/minimal {best['server'][1]['per_s'] / best['minimal'][1]['per_s']:.3f}")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
