#!/usr/bin/env python3
"""Checks a soak run: forecourt-sim's JSON-lines record against the program's
data files and resident memory samples.

Checks (each failure is listed and the exit code is 1):
- the program was still running at the end and ended with exit code 0;
- it was still polling: a status request in the last seconds before the
  stand-in stopped;
- after every controller restart, status and sales requests resumed;
- every sale served in a whole, valid reply that reached the program inside
  its wait is in sale.txt exactly once, with the columns the reply gives, and
  there were at least --min-sales such sales;
- every row of sale.txt is a sale the stand-in served, with those columns
  (or the columns of the part of a reply that arrived before the stand-in
  dropped the connection: the program takes such a reply as it came); no
  sale (SA1, TI1 and pump) is recorded twice; the header is the first line;
- the pump state file has one line per pump;
- resident memory at the end is within the allowed growth of the memory after
  the warm-up (both reported).

The row is rebuilt from the reply bytes the way the program reads them
(7-bit ASCII, bytes above 127 as U+FFFD, written as "?" in Windows-1252;
tests/support/sale_oracle.py).
"""
import argparse
import collections
import csv
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "support"))
from sale_oracle import HEADER, ansi, reply_fields, sale_row  # noqa: E402

SALES_PAUSE_MS = 150
SALES_WAIT_MS = 800
# The stand-in stamps a request when its last byte is read, a moment after
# the program sent it: replies finished this close to the end of the wait
# may or may not have been seen, and are not held against the program.
WINDOW_MARGIN_MS = 60


def expected_row(reply_bytes_text):
    """The row the program writes for a reply (record text: byte n = U+00nn),
    and the sale's (SA1, TI1, PM) as the row holds them."""
    f = reply_fields(reply_bytes_text)
    return sale_row(f), tuple(ansi(f[k]) for k in ("SA1", "TI1", "PM"))


def read_lines(path):
    data = path.read_bytes()
    if data.startswith(b"\xef\xbb\xbf"):
        text = data[3:].decode("utf-8")
    else:
        text = data.decode("cp1252", errors="replace")
    return text.replace("\r\n", "\n").replace("\r", "\n").split("\n")[:-1] if text else []


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--record", required=True, type=pathlib.Path)
    ap.add_argument("--data", required=True, type=pathlib.Path)
    ap.add_argument("--rss", type=pathlib.Path)
    ap.add_argument("--program-exit", default="0")
    ap.add_argument("--seconds", type=float, default=0)
    ap.add_argument("--report", type=pathlib.Path)
    ap.add_argument("--min-sales", type=int, default=1,
                    help="fail unless at least this many sales were served whole in time "
                         "(those that must be in sale.txt): no loss means nothing then")
    ap.add_argument("--max-growth-kib", type=int, default=8192,
                    help="allowed growth of resident memory after the warm-up "
                         "(negative: report only)")
    args = ap.parse_args()

    failures = []
    # split("\n"), not splitlines(): reply bytes such as U+0085 are not line ends here.
    entries = [json.loads(line) for line in args.record.read_text("utf-8").split("\n") if line]
    by_type = collections.defaultdict(list)
    for e in entries:
        by_type[e["type"]].append(e)
    stop_ms = by_type["stop"][-1]["t_ms"] if by_type["stop"] else entries[-1]["t_ms"]

    # --- faults injected, by kind
    fault_counts = collections.Counter()
    outcomes = collections.Counter()
    for e in by_type["exchange"]:
        fault_counts.update(e.get("faults", []))
        outcomes[e["outcome"]] += 1
    restarts = [e["t_ms"] for e in by_type["restart"]]
    refusals = [e for e in by_type["refuse_start"] if e.get("detail") != "restart"]

    # --- the program is alive and polling
    if args.program_exit != "0":
        failures.append(f"the program's end: {args.program_exit} (expected exit code 0)")
    status_requests = [e["t_ms"] for e in by_type["request"] if e["name"] == "REQ_PUMP_STATUS"]
    sales_requests = [e["t_ms"] for e in by_type["request"] if e["name"] == "REQ_GET_PUMP_SALES"]
    last_status = max(status_requests, default=-1)
    if stop_ms - last_status > 6000:
        failures.append(f"no status request in the last 6 s (last at {last_status} ms, "
                        f"stop at {stop_ms} ms)")

    # --- back after every restart
    resume_gaps = []
    for t in restarts:
        if stop_ms - t < 15000:
            continue
        after_status = [r for r in status_requests if r > t]
        after_sales = [r for r in sales_requests if r > t]
        if not after_status or not after_sales:
            failures.append(f"no requests after the restart at {t} ms")
            continue
        gap = max(after_status[0], after_sales[0]) - t
        resume_gaps.append(gap)
        if gap > 12000:
            failures.append(f"requests resumed {gap} ms after the restart at {t} ms")

    # --- sales
    served = collections.defaultdict(set)  # (SA1, TI1, PM) -> rows the replies allow
    sound = collections.defaultdict(set)  # the same from valid replies only
    cut_off = collections.defaultdict(set)  # rows of the parts of dropped replies
    must = {}  # (SA1, TI1, PM) -> first exchange that the program must have recorded
    uncertain = 0
    accented = set()  # sales whose text carried bytes above 127
    for e in by_type["exchange"]:
        if e["name"] != "REQ_GET_PUMP_SALES" or not e.get("sale") or not e["sale"].get("TI1"):
            continue
        if "high_bytes" in e.get("faults", []):
            accented.add(e["sale"]["SA1"])
        if e["outcome"] == "dropped" and e.get("first_ms", -1) >= 0:
            # Some of it went out before the connection was dropped.
            for end in range(1, len(e["reply"])):
                row, key = expected_row(e["reply"][:end])
                if key[1]:
                    cut_off[key].add(row)
        if e["outcome"] != "replied":
            continue
        row, key = expected_row(e["reply"])
        if key[1]:
            served[key].add(row)
            if e["valid"]:
                sound[key].add(row)
        if not e["valid"] or "late" in e["faults"] or e["t_ms"] > stop_ms - 5000:
            continue
        deadline = e["t_ms"] + SALES_PAUSE_MS + SALES_WAIT_MS
        if e["done_ms"] > deadline:
            continue
        if e["done_ms"] > deadline - WINDOW_MARGIN_MS:
            uncertain += 1
            continue
        sale_key = (e["sale"]["SA1"], e["sale"]["TI1"], e["sale"]["PM"])
        sale_key = tuple(ansi(v) for v in sale_key)
        if key != sale_key:
            failures.append(f"record: reply {key} but sale {sale_key} in exchange {e['id']}")
        must.setdefault(key, e)

    sale_path = args.data / "sale.txt"
    lines = read_lines(sale_path) if sale_path.exists() else []
    rows = lines[1:]
    if lines and lines[0] != HEADER:
        failures.append(f"sale.txt: first line is not the header: {lines[0]!r}")
    recorded = collections.Counter()
    corrupted = []
    for row in rows:
        parts = row.split(",") + ["", "", "", ""]
        key = (parts[0], parts[1], parts[4])  # "ID Venta", "# de Venta", "Surtidor"
        recorded[key] += 1
        # A sale that a sound reply served must have that reply's row, not
        # one from a damaged reply of the same sale.
        allowed = (sound.get(key) or served.get(key, set())) | cut_off.get(key, set())
        if row not in allowed:
            corrupted.append(row)
    duplicated = sorted(k for k, n in recorded.items() if n > 1)
    lost = sorted(k for k in must if recorded[k] == 0)
    for row in corrupted:
        failures.append(f"sale.txt: row that no sound reply of its sale gives: {row}")
    for key in duplicated:
        failures.append(f"sale.txt: sale {key} recorded {recorded[key]} times")
    for key in lost:
        failures.append(f"sale lost: {key}, served whole in exchange {must[key]['id']} "
                        f"at {must[key]['t_ms']} ms")
    if len(must) < args.min_sales:
        failures.append(f"only {len(must)} sales served whole in time, at least "
                        f"{args.min_sales} expected")

    state_path = args.data / "estsur.txt"
    state_lines = read_lines(state_path) if state_path.exists() else []
    if [line.split("=")[0] for line in state_lines] != [str(n) for n in range(1, 21)]:
        failures.append(f"estsur.txt: not one line per pump: {state_lines!r}")

    # --- memory
    memory = {}
    if args.rss and args.rss.exists():
        samples = [(int(s), int(k)) for s, k in csv.reader(args.rss.open()) if s and k]
        if samples:
            warm = max(10, int(args.seconds * 0.1)) if args.seconds else 10
            after_warm = [k for s, k in samples if s >= warm] or [samples[-1][1]]
            memory = {"start_kib": after_warm[0], "end_kib": samples[-1][1],
                      "max_kib": max(k for _, k in samples), "warm_up_s": warm,
                      "samples": len(samples)}
            growth = memory["end_kib"] - memory["start_kib"]
            memory["growth_kib"] = growth
            if 0 <= args.max_growth_kib < growth:
                failures.append(f"resident memory grew by {growth} KiB after the warm-up "
                                f"({memory['start_kib']} -> {memory['end_kib']} KiB)")
        else:
            failures.append("no memory samples")

    report = {
        "duration_ms": stop_ms,
        "requests": {"status": len(status_requests), "sales": len(sales_requests),
                     "all": len(by_type["request"])},
        "exchange_outcomes": dict(outcomes),
        "faults": dict(sorted(fault_counts.items())),
        "restarts": len(restarts),
        "refusals": len(refusals),
        "connections": len(by_type["connect"]),
        "resume_after_restart_ms": {"max": max(resume_gaps, default=None),
                                    "checked": len(resume_gaps)},
        "sales_completed_by_model": len(by_type["sale"]),
        "sales_served": len(served),
        "sales_with_high_bytes": len(accented),
        "sales_served_whole_in_time": len(must),
        "sales_uncertain_timing": uncertain,
        "rows_in_sale_file": len(rows),
        "lost": len(lost), "duplicated": len(duplicated), "corrupted": len(corrupted),
        "memory": memory,
        "failures": failures,
    }
    text = json.dumps(report, indent=2, ensure_ascii=False)
    print(text)
    if args.report:
        args.report.write_text(text + "\n", "utf-8")
    if failures:
        print(f"SOAK FAILED: {len(failures)} problem(s)", file=sys.stderr)
        return 1
    print("SOAK PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
