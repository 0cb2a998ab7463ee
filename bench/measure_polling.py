#!/usr/bin/env python3
"""Start-up, polling and resource figures of the real program against
forecourt-sim. Run on an X display with a tray host (bench/measure-polling
does that and builds the Release program first):

    measure_polling.py --build BUILD_DIR --out OUT_DIR [--seconds 60]
                       [--speed 4] [--mean-idle 30] [--seed 1] [--launches 5]
                       [--windows DEPLOY_DIR]

1. Start-up: the program is launched --launches times, each in a new data
   directory with no controller listening. Measured from just before the exec
   to the line "Aplicación minimizada a bandeja del sistema" in the debug log
   (file polled every millisecond) and to the icon's window appearing in the
   tray (polled with xwininfo, a few ms per look). Resident memory 5 s after
   the launch, idle in the tray.
2. Monitoring: forecourt-sim with instant replies, pumps calling at random;
   the program monitors it for --seconds after a 5 s warm-up. CPU time and
   resident memory from /proc/PID every 5 s; the poll timings from the
   stand-in's record (t_ms: when a request's last byte was read).

--windows measures veltrane.exe of DEPLOY_DIR under Wine instead (the prefix
of scripts/windows-env.sh, WINE and WINEPREFIX in the environment), against
the same Linux forecourt-sim of BUILD_DIR: its data directory is C:\corvane
in the prefix, emptied before each launch, and it is ended as Windows asks a
program to close (taskkill). CPU and memory are those of the program's own
process; Wine's server process is not counted.

Prints a report and writes it, with the raw figures, to OUT_DIR.
"""

import argparse
import collections
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

READY_LINE = "Aplicación minimizada a bandeja del sistema".encode("cp1252")
MONITORING_LINE = "Monitoreo iniciado".encode("cp1252")
CLK_TCK = os.sysconf("SC_CLK_TCK")


def cache_value(build, name):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise SystemExit(f"{name} is not in {build}/CMakeCache.txt")


def rss_kib(pid):
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.strip()
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def cpu_seconds(pid):
    stat = Path(f"/proc/{pid}/stat").read_text()
    rest = stat[stat.rindex(")") + 2:].split()
    return (int(rest[11]) + int(rest[12])) / CLK_TCK  # utime, stime


def tray_icons():
    """Child windows of icewm's notification area."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    match = re.search(r"^\s*(0x[0-9a-f]+) \"SystemTray\"", tree, re.M)
    if not match:
        return set()
    children = subprocess.run(["xwininfo", "-children", "-id", match.group(1)],
                              capture_output=True, text=True).stdout
    return set(re.findall(r"^\s+(0x[0-9a-f]+)", children, re.M))


def wait_for_line(log, line, deadline):
    while time.monotonic() < deadline:
        try:
            if line in log.read_bytes():
                return time.monotonic()
        except FileNotFoundError:
            pass
        time.sleep(0.001)
    return None


class Program:
    """How the program is started, where its data is and how it is ended:
    the Linux build, or veltrane.exe under Wine."""

    def __init__(self, build, windows):
        self.windows = windows
        if windows:
            self.command = [os.environ["WINE"], "Z:" + str(windows.resolve() / "veltrane.exe").replace("/", "\\")]
            self.prefix = Path(os.environ["WINEPREFIX"])
        else:
            self.command = [str(build / "src" / "veltrane")]

    def new_data_dir(self):
        """A fresh data directory; returns (environment, debug log path, home to remove)."""
        home = Path(tempfile.mkdtemp(prefix="veltrane-bench-"))
        if not self.windows:
            return dict(os.environ, HOME=str(home)), home / "corvane" / "debug.log", home
        data = self.prefix / "drive_c" / "corvane"
        shutil.rmtree(data, ignore_errors=True)
        for lock in self.prefix.glob("drive_c/users/*/Temp/veltrane-*.lock"):
            lock.unlink()
        return dict(os.environ), data / "debug.log", home

    def start(self, env):
        return subprocess.Popen(self.command, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def stop(self, process, timeout=60):
        if not self.windows:
            return stop(process)
        subprocess.run([os.environ["WINE"], "taskkill", "/im", "veltrane.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return process.wait(timeout)


def stop(process, timeout=15):
    process.send_signal(signal.SIGTERM)
    return process.wait(timeout)


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, round(p / 100 * (len(ordered) - 1))))
    return ordered[index]


def describe(values):
    if not values:
        return "none"
    return (f"n={len(values)} median {statistics.median(values):.0f} p90 {percentile(values, 90):.0f} "
            f"p99 {percentile(values, 99):.0f} max {max(values):.0f} ms")


def measure_startup(program, launches, report):
    report["startup"] = runs = []
    for number in range(launches):
        env, log, home = program.new_data_dir()
        before = tray_icons()
        start = time.monotonic()
        process = program.start(env)
        ready = wait_for_line(log, READY_LINE, start + 60)
        if ready is None:
            raise SystemExit(f"launch {number + 1}: the program never reached the tray")
        icon = None
        while icon is None and time.monotonic() < start + 60:
            if tray_icons() - before:
                icon = time.monotonic()
        time.sleep(max(0.0, start + 5 - time.monotonic()))
        rss, _ = rss_kib(process.pid)
        code = program.stop(process)
        shutil.rmtree(home, ignore_errors=True)
        runs.append({
            "launch": number + 1,
            "log_line_ms": None if ready is None else (ready - start) * 1000,
            "tray_icon_ms": None if icon is None else (icon - start) * 1000,
            "idle_rss_kib": rss,
            "exit": code,
        })


def measure_monitoring(args, program, sim, address, port, report):
    out = args.out
    record = out / "sim.jsonl"
    record.unlink(missing_ok=True)
    env, log, home = program.new_data_dir()
    sim_process = subprocess.Popen(
        [str(sim), "--listen", f"{address}:{port}", "--seed", str(args.seed),
         "--speed", str(args.speed), "--mean-idle", str(args.mean_idle), "--record", str(record)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if not sim_process.stdout.readline().startswith("LISTENING"):
        raise SystemExit(f"forecourt-sim did not listen on {address}:{port}: "
                         f"{sim_process.stderr.read()}")
    program_process = program.start(env)
    pid = program_process.pid
    try:
        if wait_for_line(log, MONITORING_LINE, time.monotonic() + 90) is None:
            raise SystemExit("the program did not start monitoring")
        time.sleep(5)  # warm-up: the first cycle opens the connections
        samples = []
        begin = time.monotonic()
        cpu_begin = cpu_seconds(pid)
        while True:
            now = time.monotonic()
            rss, hwm = rss_kib(pid)
            samples.append({"s": round(now - begin, 1), "cpu_s": cpu_seconds(pid) - cpu_begin,
                            "rss_kib": rss, "hwm_kib": hwm})
            if now - begin >= args.seconds:
                break
            time.sleep(min(5, begin + args.seconds - now) or 0.01)
        wall = time.monotonic() - begin
        cpu = cpu_seconds(pid) - cpu_begin
    finally:
        code = program.stop(program_process)
        stop(sim_process)
        shutil.rmtree(home, ignore_errors=True)
    report["monitoring"] = {
        "seconds": wall, "cpu_seconds": cpu, "cpu_percent_of_core": 100 * cpu / wall,
        "samples": samples, "exit": code, "seed": args.seed, "speed": args.speed,
        "mean_idle": args.mean_idle,
    }
    report["record"] = analyse_record(record)


def analyse_record(path):
    entries = [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
    requests = [e for e in entries if e["type"] == "request"]
    status = [e for e in requests if e["name"] == "REQ_PUMP_STATUS"]
    # The first cycle opens the pool's connections: left out.
    status = [e for e in status if e["t_ms"] >= status[0]["t_ms"] + 2000]
    plain, with_sales, with_auth = [], [], []
    others = [e for e in requests if e["name"] != "REQ_PUMP_STATUS"]
    j = 0
    for a, b in zip(status, status[1:]):
        while j < len(others) and others[j]["t_ms"] < a["t_ms"]:
            j += 1
        between = set()
        k = j
        while k < len(others) and others[k]["t_ms"] <= b["t_ms"]:
            between.add(others[k]["name"])
            k += 1
        gap = b["t_ms"] - a["t_ms"]
        if "REQ_GET_PUMP_SALES" in between:
            with_sales.append(gap)
        elif between:
            with_auth.append(gap)
        else:
            plain.append(gap)

    cycles, bare_cycles = [], []
    last = {}
    for e in status:
        if e["pump"] in last:
            start = last[e["pump"]]
            cycles.append(e["t_ms"] - start)
            if not any(start < o["t_ms"] < e["t_ms"] for o in others):
                bare_cycles.append(e["t_ms"] - start)
        last[e["pump"]] = e["t_ms"]

    # From a pump's change to CALLING to its REQ_AUTHORIZE arriving, for the
    # calls that began while the program was polling (after the warm-up, and
    # with time for one more cycle before it stopped).
    latencies, unanswered, past_limit, slowest = [], 0, 0, []
    authorizations = [e for e in requests if e["name"] == "REQ_AUTHORIZE"]
    leaving = [e for e in entries if e["type"] == "status" and e["from"] == "CALLING"]
    ordinal = {}
    for call in (e for e in entries if e["type"] == "status" and e["to"] == "CALLING"):
        pump, t = call["pump"], call["t_ms"]
        ordinal[pump] = ordinal.get(pump, 0) + 1
        if not status[0]["t_ms"] <= t <= status[-1]["t_ms"] - 2000:
            continue
        end = next((e["t_ms"] for e in leaving if e["pump"] == pump and e["t_ms"] >= t), None)
        # The change that an authorization causes is stamped from the model
        # clock and may read a millisecond ahead of the request itself.
        answer = next((e for e in authorizations if e["pump"] == pump and e["t_ms"] >= t
                       and (end is None or e["t_ms"] <= end + 5)), None)
        if answer is not None:
            latencies.append(answer["t_ms"] - t)
            between = collections.Counter(e["name"] for e in requests
                                          if t <= e["t_ms"] < answer["t_ms"])
            slowest.append((answer["t_ms"] - t, pump, t, between["REQ_PUMP_STATUS"],
                            between["REQ_GET_PUMP_SALES"], between["REQ_AUTHORIZE"]))
        elif ordinal[pump] > 3:
            past_limit += 1
        else:
            unanswered += 1
    sales = [e for e in requests if e["name"] == "REQ_GET_PUMP_SALES"]
    sales_exchanges = [e for e in entries
                       if e["type"] == "exchange" and e["name"] == "REQ_GET_PUMP_SALES"]
    return {
        "status_requests": len(status), "sales_requests": len(sales),
        "authorizations": len(authorizations),
        "sales_served": sum(1 for e in sales_exchanges if e.get("sale")),
        "gap_plain_ms": plain, "gap_with_sales_ms": with_sales, "gap_with_auth_ms": with_auth,
        "cycle_ms": cycles, "bare_cycle_ms": bare_cycles, "call_to_authorize_ms": latencies,
        "calls_not_authorized": unanswered, "calls_past_limit": past_limit,
        "over_1300_ms": sum(1 for x in latencies if x > 1300),
        "slowest_authorizations": sorted(slowest, reverse=True)[:3],
    }


def text_report(report):
    lines = []
    startup = report["startup"]
    lines.append(f"program: {report['program']}")
    lines.append(f"machine: {report['machine']}; load average before: {report['load_before']}, "
                 f"after: {report['load_after']}")
    lines.append("start-up (exec to the log line / to the tray icon, idle RSS at 5 s):")
    ms = lambda value: "none" if value is None else f"{value:.0f} ms"
    median = lambda values: ms(statistics.median(values)) if values else "none"
    for run in startup:
        lines.append(f"  launch {run['launch']}: log line {ms(run['log_line_ms'])}, tray icon "
                     f"{ms(run['tray_icon_ms'])}, idle RSS {run['idle_rss_kib'] / 1024:.1f} MiB, "
                     f"exit {run['exit']}")
    warm = startup[1:] or startup
    lines.append(f"  median of launches 2..: log line "
                 f"{median([r['log_line_ms'] for r in warm if r['log_line_ms'] is not None])}, "
                 f"tray icon {median([r['tray_icon_ms'] for r in warm if r['tray_icon_ms'] is not None])}"
                 f", idle RSS {statistics.median(r['idle_rss_kib'] for r in warm) / 1024:.1f} MiB")
    m = report["monitoring"]
    r = report["record"]
    lines.append(f"monitoring: seed {m['seed']}, speed {m['speed']}, mean idle {m['mean_idle']} s, "
                 f"{m['seconds']:.0f} s measured, exit {m['exit']}")
    lines.append(f"  requests: {r['status_requests']} status, {r['sales_requests']} sales, "
                 f"{r['authorizations']} authorizations; sales served {r['sales_served']}")
    plain = r["gap_plain_ms"]
    lines.append(f"  status request period, plain gaps: {describe(plain)}; median "
                 f"{100 * (statistics.median(plain) / 50 - 1):+.1f} % of the 50 ms floor")
    lines.append(f"  gaps holding a sales check: {describe(r['gap_with_sales_ms'])}")
    lines.append(f"  gaps holding an authorization: {describe(r['gap_with_auth_ms'])}")
    lines.append(f"  cycle of 20 pumps (same pump to same pump): {describe(r['cycle_ms'])}")
    lines.append(f"  cycles holding no sales check or authorization: {describe(r['bare_cycle_ms'])}")
    lines.append(f"  change to CALLING -> REQ_AUTHORIZE: {describe(r['call_to_authorize_ms'])}; "
                 f"over 1300 ms: {r['over_1300_ms']}; calls not authorized: "
                 f"{r['calls_not_authorized']} (+{r['calls_past_limit']} past 3 per pump)")
    for ms, pump, t, polls, sales, auths in r["slowest_authorizations"]:
        lines.append(f"    pump {pump} calling at {t / 1000:.1f} s: authorized {ms} ms later, after "
                     f"{polls} status polls, {sales} sales checks, {auths} other authorizations")
    s = m["samples"]
    lines.append(f"  CPU: {m['cpu_seconds']:.2f} s in {m['seconds']:.0f} s = "
                 f"{m['cpu_percent_of_core']:.2f} % of one core")
    lines.append(f"  RSS: start {s[0]['rss_kib'] / 1024:.1f} MiB, end {s[-1]['rss_kib'] / 1024:.1f} "
                 f"MiB, peak {s[-1]['hwm_kib'] / 1024:.1f} MiB; along the run (MiB): "
                 + " ".join(f"{x['s']:.0f}s:{x['rss_kib'] / 1024:.1f}"
                            for x in s[::max(1, len(s) // 12)]))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--speed", default="4")
    parser.add_argument("--mean-idle", default="30")
    parser.add_argument("--seed", default="1")
    parser.add_argument("--launches", type=int, default=5)
    parser.add_argument("--windows", type=Path, metavar="DEPLOY_DIR",
                        help="measure veltrane.exe of DEPLOY_DIR under Wine")
    args = parser.parse_args()
    if "DISPLAY" not in os.environ:
        raise SystemExit("needs an X display with a tray host (bench/measure-polling gives one)")
    args.out.mkdir(parents=True, exist_ok=True)
    program = Program(args.build, args.windows)
    sim = args.build / "tools" / "forecourt-sim" / "forecourt-sim"
    address = cache_value(args.build, "VELTRANE_CONTROLLER_ADDRESS")
    port = cache_value(args.build, "VELTRANE_CONTROLLER_PORT")
    report = {
        "build_type": cache_value(args.build, "CMAKE_BUILD_TYPE"),
        "program": " ".join(program.command),
        "machine": f"{os.cpu_count()} CPUs, {os.uname().release}",
        "load_before": os.getloadavg()[0],
    }
    measure_startup(program, args.launches, report)
    measure_monitoring(args, program, sim, address, port, report)
    report["load_after"] = os.getloadavg()[0]
    (args.out / "report.json").write_text(json.dumps(report, indent=1))
    text = text_report(report)
    (args.out / "report.txt").write_text(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
