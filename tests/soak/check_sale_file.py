#!/usr/bin/env python3
"""Makes a large sale file, or checks that a sale file is whole after a kill.

--make FILE --rows N   writes the header and N rows of made-up sales
--check FILE --previous COPY --data DIR
    the header first; every line of COPY still there, in order, as the start
    of FILE; every row complete (19 columns: 27 pieces at ",", numbers in the
    file's style); CR LF after every line; no file in DIR but the program's own
    (a temporary file left by an interrupted rewrite would be one).
"""
import argparse
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "support"))
from sale_oracle import HEADER  # noqa: E402

N = r"-?\d{1,3}(?:\.\d{3})*"
ROW = re.compile(
    r"^\d+,\d+,\d\d/\d\d/\d{4},\d\d:\d\d:\d\d,\d+,\d+,[^,]+,[^,]+,"
    rf"{N},\d{{3}},{N},\d{{3}},{N},\d,{N},\d,{N},\d{{3}},0,000,{N},\d{{3}},0,000,"
    r"[\d.]+,Ventas(?: EFECTIVO)?,[A-Za-z ]+$")
OWN_FILES = {"debug.log", "sale.txt", "estsur.txt", "productos.txt"}


def make(path, rows):
    lines = [HEADER]
    for i in range(1, rows + 1):
        lines.append(f"{i},{i % 997 + 1},10/12/2026,03:05:19,{i % 20 + 1},1,4,Gasolina Regular,"
                     f"48,021,48,021,745,5,35.799,7,582.966,622,0,000,583.014,643,0,000,23.7,"
                     f"Ventas EFECTIVO,EFECTIVO")
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode("cp1252"))


def check(path, previous, data, label):
    problems = []
    raw = path.read_bytes()
    if not raw.endswith(b"\r\n"):
        problems.append("the file does not end with CR LF (a cut-off last line)")
    lines = raw.decode("cp1252").split("\r\n")[:-1]
    if not lines or lines[0] != HEADER:
        problems.append("the header is not the first line")
    before = previous.read_bytes().decode("cp1252").split("\r\n")[:-1]
    if lines[:len(before)] != before:
        first = next((i for i, (a, b) in enumerate(zip(lines, before)) if a != b),
                     min(len(lines), len(before)))
        problems.append(f"earlier rows lost or changed from line {first + 1} "
                        f"({len(before)} lines before, {len(lines)} now)")
    for number, line in enumerate(lines[1:], start=2):
        if not ROW.match(line):
            problems.append(f"line {number} is not a whole row: {line!r}")
            break
    strays = sorted(p.name for p in data.iterdir() if p.name not in OWN_FILES)
    if strays:
        problems.append(f"files left in the data directory: {strays}")
    if problems:
        for p in problems:
            print(f"{label}: {p}", file=sys.stderr)
        return 1
    print(f"{label}: whole, {len(lines) - 1} rows (+{len(lines) - len(before)})")
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--make", type=pathlib.Path)
    ap.add_argument("--rows", type=int, default=100000)
    ap.add_argument("--check", type=pathlib.Path)
    ap.add_argument("--previous", type=pathlib.Path)
    ap.add_argument("--data", type=pathlib.Path)
    ap.add_argument("--label", default="check")
    args = ap.parse_args()
    if args.make:
        make(args.make, args.rows)
        return 0
    return check(args.check, args.previous, args.data, args.label)


if __name__ == "__main__":
    sys.exit(main())
