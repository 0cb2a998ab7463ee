#!/usr/bin/env python3
"""Compares what the program left in its data directory with forecourt-sim's
record of the same run.

    check_run.py --record sim.jsonl --data-dir HOME/corvane [--skip-rows N]
                 [--min-sales N] [--min-authorizations N]

Checks:
  * every sale that the sim served in a complete, valid reply to the last
    attempt of a sales check is a row of sale.txt exactly once, with all 19
    columns as the program must write them (rebuilt here independently: date
    and time reshaped, built-in catalogue, Spanish number style, payment
    types, a byte above 127 as "?"), and sale.txt holds no row but those of
    sales served whole;
  * estsur.txt is 20 lines "n=STATUS" CR LF with the last status the sim
    served for each pump;
  * every REQ_AUTHORIZE answers a change to "CALLING" that the program saw for
    that pump, every such change among a pump's first three got one, and no
    pump got more than three;
  * the program sent nothing but status, sales and authorization requests.

Prints a short summary of the run, then "OK" or every problem found (exit 1).
--skip-rows N leaves out the first N data rows of sale.txt (rows from earlier
runs in a data directory that is not new).
"""

import argparse
import collections
import json
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from sale_oracle import COLUMNS, HEADER, sale_columns  # noqa: E402

MAX_AUTHORIZATIONS = 3
EXPECTED_REQUESTS = {"REQ_PUMP_STATUS", "REQ_GET_PUMP_SALES", "REQ_AUTHORIZE"}


# A data row split back into its 19 columns: the numbers of columns 9-16 hold
# the same "," that separates the columns, so they are matched by shape.
_N3 = r"-?\d{1,3}(?:\.\d{3})*,\d{3}"
_N1 = r"-?\d{1,3}(?:\.\d{3})*,\d"
ROW = re.compile(
    r"(?P<c1>[^,]*),(?P<c2>[^,]*),(?P<c3>\d\d/\d\d/\d{4}),(?P<c4>\d\d:\d\d:\d\d),"
    r"(?P<c5>[^,]*),(?P<c6>[^,]*),(?P<c7>[^,]*),(?P<c8>[^,]*),"
    rf"(?P<c9>{_N3}),(?P<c10>{_N3}),(?P<c11>{_N1}),(?P<c12>{_N1}),(?P<c13>{_N3}),"
    rf"(?P<c14>{_N3}),(?P<c15>{_N3}),(?P<c16>{_N3}),"
    r"(?P<c17>[^,]*),(?P<c18>[^,]*),(?P<c19>[^,]*)")


def split_row(row):
    match = ROW.fullmatch(row)
    return [match.group(f"c{i}") for i in range(1, 20)] if match else None


class Check:
    def __init__(self):
        self.problems = []

    def fail(self, text):
        self.problems.append(text)


def read_record(path):
    entries = []
    with open(path, encoding="utf-8") as record:
        for number, line in enumerate(record, 1):
            line = line.strip()
            if line:
                try:
                    entries.append(json.loads(line))
                except json.JSONDecodeError as error:
                    raise SystemExit(f"{path}:{number}: not JSON ({error})")
    return entries


# Requests for one pump this close together are the attempts of one check
# (the next check of the same pump comes a whole cycle later).
CHECK_SPAN_MS = 3000


def served_sales(entries):
    """Sales the sim handed whole to the program, by SA1, in serving order, and
    the SA1s of those it served to the last attempt of a check: an earlier
    attempt may be one that the program's rules send round again (a reply
    whole by neither its length nor a closing "^"), and the pump may have sold
    again before the next attempt."""
    sales = {}
    owed = set()
    last_of_check = {}  # pump -> the latest sales exchange for it
    def settle(exchange):
        if exchange and exchange.get("valid") and exchange.get("sale"):
            owed.add(exchange["sale"]["SA1"])
    for entry in entries:
        if entry["type"] != "exchange" or entry["name"] != "REQ_GET_PUMP_SALES":
            continue
        if entry.get("valid") and entry.get("sale"):
            sales.setdefault(entry["sale"]["SA1"], entry["sale"])
        previous = last_of_check.get(entry["pump"])
        if previous and entry["t_ms"] - previous["t_ms"] > CHECK_SPAN_MS:
            settle(previous)
        last_of_check[entry["pump"]] = entry
    for exchange in last_of_check.values():
        settle(exchange)
    return sales, owed


def check_sales(check, entries, data_dir, skip_rows):
    sales, owed = served_sales(entries)
    path = data_dir / "sale.txt"
    rows = []
    if path.exists():
        raw = path.read_bytes()
        if raw and not raw.endswith(b"\r\n"):
            check.fail("sale.txt: the last line does not end with CR LF")
        if re.search(rb"(?<!\r)\n|\r(?!\n)", raw):
            check.fail("sale.txt: a line ends without CR LF")
        lines = raw.decode("cp1252").split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()
        if not lines or lines[0] != HEADER:
            check.fail(f"sale.txt: first line is not the header: {lines[:1]}")
        rows = lines[1 + skip_rows:]
    elif sales:
        check.fail("sale.txt is missing although the controller served sales")

    expected = {sa1: ",".join(sale_columns(sale)) for sa1, sale in sales.items()}
    count = collections.Counter(rows)
    for sa1, row in expected.items():
        if count[row] == 0 and sa1 in owed:
            near = [r for r in rows if r.split(",", 1)[0] == sa1]
            detail = ""
            if near:
                got = split_row(near[0])
                want = sale_columns(sales[sa1])
                if got is None:
                    detail = f"; row with that ID cannot be split into 19 columns: {near[0]}"
                else:
                    diffs = [f"{COLUMNS[i]}: {got[i]!r} != {want[i]!r}"
                             for i in range(19) if got[i] != want[i]]
                    detail = "; row with that ID differs: " + "; ".join(diffs)
            check.fail(f"sale {sa1} served but not recorded as {row}{detail}")
        elif count[row] > 1:
            check.fail(f"sale {sa1} recorded {count[row]} times")
    wanted = set(expected.values())
    for row in rows:
        if row not in wanted:
            check.fail(f"sale.txt row that the controller never served: {row}")
        elif split_row(row) is None:
            check.fail(f"sale.txt row does not split into the 19 columns: {row}")
    return owed, rows


def status_exchanges(entries):
    return [e for e in entries
            if e["type"] == "exchange" and e["name"] == "REQ_PUMP_STATUS"
            and e.get("valid") and e.get("outcome") == "replied" and "status" in e]


def check_state_file(check, entries, data_dir):
    last = {}
    for exchange in status_exchanges(entries):
        last[exchange["pump"]] = exchange["status"]
    path = data_dir / "estsur.txt"
    if not path.exists():
        if last:
            check.fail("estsur.txt is missing although the controller served statuses")
        return last
    want = "".join(f"{n}={last.get(n, '')}\r\n" for n in range(1, 21)).encode("cp1252")
    got = path.read_bytes()
    if got != want:
        got_lines, want_lines = got.split(b"\r\n"), want.split(b"\r\n")
        if len(got_lines) != len(want_lines):
            check.fail(f"estsur.txt is {got!r}, the last served statuses give {want!r}")
        for line, expected in zip(got_lines, want_lines):
            if line != expected:
                check.fail(f"estsur.txt holds {line!r} where the last served status "
                           f"gives {expected!r}")
    return last


def check_authorizations(check, entries):
    """Walks the record in order, seeing the statuses as the program saw them."""
    seen = {}                             # pump -> last status the program got
    changes = collections.Counter()       # pump -> changes to CALLING seen
    owed = {}                             # pump -> change number still to authorize
    sent = collections.Counter()
    for entry in entries:
        if entry["type"] == "request" and entry["name"] not in EXPECTED_REQUESTS:
            check.fail(f"unexpected request at {entry['t_ms']} ms: {entry['request']}")
        if (entry["type"] == "exchange" and entry["name"] == "REQ_PUMP_STATUS"
                and entry.get("valid") and entry.get("outcome") == "replied" and "status" in entry):
            pump, status = entry["pump"], entry["status"]
            if pump in owed:
                check.fail(f"pump {pump}: change {owed.pop(pump)} to CALLING got no "
                           f"REQ_AUTHORIZE before its next poll ({entry['t_ms']} ms)")
            if status != seen.get(pump, ""):
                seen[pump] = status
                if status == "CALLING":
                    changes[pump] += 1
                    if changes[pump] <= MAX_AUTHORIZATIONS:
                        owed[pump] = changes[pump]
        elif entry["type"] == "request" and entry["name"] == "REQ_AUTHORIZE":
            pump = entry["pump"]
            sent[pump] += 1
            if entry.get("pm") != f"{pump:03d}":
                check.fail(f"REQ_AUTHORIZE at {entry['t_ms']} ms names the pump as "
                           f"{entry.get('pm')!r}")
            if pump not in owed:
                check.fail(f"REQ_AUTHORIZE for pump {pump} at {entry['t_ms']} ms answers no "
                           f"change to CALLING (last status seen: {seen.get(pump, '')!r}, "
                           f"changes to CALLING so far: {changes[pump]})")
            else:
                del owed[pump]
    for pump, change in owed.items():
        check.fail(f"pump {pump}: change {change} to CALLING never got a REQ_AUTHORIZE")
    for pump, count in sent.items():
        if count > MAX_AUTHORIZATIONS:
            check.fail(f"pump {pump} was authorized {count} times")
    return changes, sent


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--record", required=True, type=Path)
    parser.add_argument("--data-dir", required=True, type=Path)
    parser.add_argument("--skip-rows", type=int, default=0)
    parser.add_argument("--min-sales", type=int, default=0,
                        help="fail unless at least this many sales were served")
    parser.add_argument("--min-authorizations", type=int, default=0)
    args = parser.parse_args()

    entries = read_record(args.record)
    if not entries or entries[0]["type"] != "start":
        raise SystemExit(f"{args.record}: no start line")
    check = Check()
    sales, rows = check_sales(check, entries, args.data_dir, args.skip_rows)
    last = check_state_file(check, entries, args.data_dir)
    changes, sent = check_authorizations(check, entries)

    completed = sum(1 for e in entries if e["type"] == "sale")
    statuses = collections.Counter(last.values())
    print(f"seed {entries[0]['seed']}, speed {entries[0]['speed']}, "
          f"{entries[-1]['t_ms'] / 1000:.0f} s recorded")
    print(f"pumps seen: {len(last)} of 20; last statuses: "
          + ", ".join(f"{s} {n}" for s, n in statuses.most_common()))
    print(f"changes to CALLING seen: {sum(changes.values())}; authorizations sent: "
          f"{sum(sent.values())}; pumps past the limit of {MAX_AUTHORIZATIONS}: "
          f"{sum(1 for c in changes.values() if c > MAX_AUTHORIZATIONS)}")
    print(f"sales completed by the pumps: {completed}; served whole to the last attempt of a "
          f"check: {len(sales)}; rows recorded in sale.txt: {len(rows)}")
    if len(sales) < args.min_sales:
        check.fail(f"only {len(sales)} sales served, at least {args.min_sales} expected")
    if sum(sent.values()) < args.min_authorizations:
        check.fail(f"only {sum(sent.values())} authorizations, at least "
                   f"{args.min_authorizations} expected")
    if check.problems:
        for problem in check.problems:
            print(f"PROBLEM: {problem}")
        return 1
    print("OK: sale.txt, estsur.txt and the authorizations agree with the controller's record")
    return 0


if __name__ == "__main__":
    sys.exit(main())
