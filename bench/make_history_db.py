#!/usr/bin/env python3
"""Makes a SQLite plan database with a given number of months of history for
history_bench: 20 departments x 10 visit-salesmen x 50 indicators, so 10,000
salesman plan rows a month, with the department plans (XSTYZB01), the sales
indicators (XSTYXSZB) and the staff and departments to match.

The tables come from the application server itself (vendrix-server --init,
stopped again as soon as the database is ready); the rows are then inserted in
one transaction. The newest month is the current one, the month the main form
opens on; history goes back from there.

    make_history_db.py --server build/bin/vendrix-server --months 100 --out /tmp/h100.db
"""

import argparse
import datetime
import os
import socket
import sqlite3
import subprocess
import sys
import time

DEPARTMENTS = 20
SALESMEN_PER_DEPARTMENT = 10
INDICATORS = 50
# What a salesman plans per indicator; the department plans the sum of its
# salesmen, so every salesman has exactly his own quantity left to plan.
SALESMAN_QUANTITY = 100.0

CATEGORIES = [("1", "总量指标"), ("2", "结构指标"), ("3", "品牌指标"), ("4", "新品指标")]


def month_keys(count):
    """The current month and the count-1 months before it, oldest first."""
    today = datetime.date.today()
    year, month = today.year, today.month
    keys = []
    for _ in range(count):
        keys.append("%04d%02d" % (year, month))
        month -= 1
        if month == 0:
            year, month = year - 1, 12
    return list(reversed(keys))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def create_schema(server, path):
    """Lets the server create its own tables, then stops it."""
    for attempt in range(3):
        port = free_port()
        proc = subprocess.Popen(
            [server, "--init", "--listen", "127.0.0.1:%d" % port, "--database", "sqlite3://db=" + path],
            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        output = []
        ready = False
        for line in proc.stderr:
            output.append(line)
            if "database ready" in line:
                ready = True
                break
        proc.terminate()
        try:
            rest, _ = proc.communicate(timeout=10)
            output.append(rest or "")
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
        if ready:
            return
        if "cannot listen" not in "".join(output):
            break
    sys.exit("vendrix-server did not create the schema:\n" + "".join(output))


def department_code(d):
    return "%02d" % (d + 1)


def salesman_code(d, s):
    return "%02d%02d" % (d + 1, s + 1)


def indicator(i):
    """XHAO00, ZBLB00, ZBMC00, SPDM00, SPDM01, ZBLBMC of indicator i (0-based)."""
    category, category_name = CATEGORIES[i % len(CATEGORIES)]
    spdm00 = None if category == "1" else "%08d" % (10010000 + i)
    spdm01 = "%08d" % (20010000 + i) if category == "3" else None
    return float(i + 1), category, "指标%02d卷烟销量" % (i + 1), spdm00, spdm01, category_name


def fill(path, months):
    db = sqlite3.connect(path)
    db.execute("PRAGMA synchronous=OFF")
    keys = month_keys(months)
    indicators = [indicator(i) for i in range(INDICATORS)]
    with db:
        db.executemany("INSERT INTO GSTCKGL0 (CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES (?,?,?,NULL)",
                       [(department_code(d), "第%02d访销部" % (d + 1), "F") for d in range(DEPARTMENTS)])
        db.executemany("INSERT INTO GSTRYGL0 (RYDM00,RYMC00,FXY000,CKDM00) VALUES (?,?,?,?)",
                       [(salesman_code(d, s), "访销员%02d%02d" % (d + 1, s + 1), "Y", department_code(d))
                        for d in range(DEPARTMENTS) for s in range(SALESMEN_PER_DEPARTMENT)])
        db.executemany(
            "INSERT INTO XSTYXSZB (NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,XSSL00,XSJE00) VALUES (?,?,?,?,?,?,?)",
            [(m, x, lb, mc, sp, 1000.0, 250000.0) for m in keys for (x, lb, mc, sp, _, _) in indicators])
        db.executemany(
            "INSERT INTO XSTYZB01 (NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00,SPDM00,SPDM01,ZBLBMC) "
            "VALUES (?,?,?,?,?,?,?,?,?)",
            [(m, department_code(d), x, lb, mc, SALESMAN_QUANTITY * SALESMEN_PER_DEPARTMENT, sp, sp1, lbmc)
             for m in keys for d in range(DEPARTMENTS) for (x, lb, mc, sp, sp1, lbmc) in indicators])
        db.executemany(
            "INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC) "
            "VALUES (?,?,?,?,?,?,?,?,?,?)",
            ((m, x, lb, mc, SALESMAN_QUANTITY, department_code(d), salesman_code(d, s), sp, sp1, lbmc)
             for m in keys for d in range(DEPARTMENTS) for s in range(SALESMEN_PER_DEPARTMENT)
             for (x, lb, mc, sp, sp1, lbmc) in indicators))
    rows = db.execute("SELECT COUNT(*) FROM XSTYZB02").fetchone()[0]
    db.close()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True, help="the vendrix-server executable")
    parser.add_argument("--months", type=int, required=True, help="months of history, the current one included")
    parser.add_argument("--out", required=True, help="the database file (replaced)")
    args = parser.parse_args()
    if args.months < 1:
        sys.exit("--months must be at least 1")

    start = time.monotonic()
    for suffix in ("", "-wal", "-shm", "-journal"):
        if os.path.exists(args.out + suffix):
            os.remove(args.out + suffix)
    create_schema(args.server, args.out)
    rows = fill(args.out, args.months)
    print("%s: %d months, %d salesman plan rows, %.1f s" % (args.out, args.months, rows, time.monotonic() - start))


if __name__ == "__main__":
    main()
