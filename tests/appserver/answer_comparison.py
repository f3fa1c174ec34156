#!/usr/bin/env python3
"""Every route of two vendrix-server builds, asked the same on the same data.

    answer_comparison.py OLD_SERVER NEW_SERVER [--transcript FILE]

Both programs serve, one after the other, a fresh copy of one database (the
demo data, three accounts and a month of 3,000 plan rows so that a records
answer goes out chunked) on SQLite and, when SALEPLAN_TEST_PG names a
PostgreSQL superuser connection, on PostgreSQL; in four set-ups: --auth none,
--auth accounts, accounts with tight limits (sessions, answer rows, lock and
connection waits), and a database that cannot be opened. The same requests go
to both, success and failure of every route; the status, the headers that
matter (Content-Type, WWW-Authenticate, chunked or not) and the body of each
answer are compared byte for byte after putting placeholders for session ids,
tokens and expiry times. An error answer of NEW_SERVER must read
{"error":"...","code":"..."}: its code is taken off before the comparison
(the old build has none) and listed at the end.

Exit status 0 when every answer matches, 1 otherwise (the differences are
printed), 77 when it cannot run (no server given).
"""
import datetime
import http.client
import json
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

INFO = "VendrixServer.CoCompanyInfo"
INFO_CLSID = "{19D455E5-E340-4D1D-9435-4443515DDE6D}"
CUST = "VendrixServer.CoCustObj"
TEMP = "dsp_temp"
PLAN = "dsp_xstyzb02cys"
BULK_MONTH = "209901"
ACCOUNTS = [("wang", "planner", "planner-pass-1"), ("zhao", "viewer", "viewer-pass-1"),
            ("li", "planner", "planner-pass-2")]
ERROR_WITH_CODE = re.compile(r'^(\{"error":.*),"code":"([a-z_]+)"\}$', re.S)


def month_key(months_back):
    today = datetime.date.today()
    index = today.year * 12 + today.month - 1 - months_back
    return "%04d%02d" % (index // 12, index % 12 + 1)


M0, M1, M2 = month_key(0), month_key(1), month_key(2)


def department_statement():
    return ("SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' "
            "AND CKDM00<>'0F' AND CKDM00<>'0B' AND CKDM00<>'0P'")


def salesman_statement(d):
    return "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00='%s'" % d


def remaining_statement(m, d, s):
    return ("Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 FROM "
            "XSTYZB01 WHERE NYUE00='%s' And Ckdm00='%s' Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 "
            "FROM XSTYZB02 WHERE NYUE00='%s' AND Ckdm00='%s' and Rydm00<>'%s') Group by Nyue00,Xhao00,Zbmc00"
            % (m, d, m, d, s))


def generation_statement(m, d, s):
    return ("INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) SELECT distinct "
            "'0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null,'%s','%s' FROM XSTYZB01 WHERE NYUE00='%s' AND CKDM00='%s'"
            % (d, s, m, d))


def delete_statement(m, d, s):
    return "DELETE XSTYZB02 WHERE NYUE00='%s' And Ckdm00='%s' And Rydm00='%s'" % (m, d, s)


def plan_rows_statement(m, d, s):
    return "SELECT * FROM XSTYZB02 WHERE NYUE00='%s' AND CKDM00='%s' AND RYDM00='%s'" % (m, d, s)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Client:
    """Sends requests, records each answer as (label, status, headers, body)."""

    def __init__(self, port, transcript):
        self.port = port
        self.transcript = transcript
        self.token = None
        self.names = {}

    def name(self, value, prefix):
        if value not in self.names:
            self.names[value] = "%s%d" % (prefix, sum(1 for v in self.names.values() if v.startswith(prefix)) + 1)
        return self.names[value]

    def request(self, method, path, body=None, token="default", label=None):
        token = self.token if token == "default" else token
        headers = {}
        if token:
            headers["Authorization"] = "Bearer " + token
        if body is not None:
            if not isinstance(body, (str, bytes)):
                body = json.dumps(body, ensure_ascii=False)
            if isinstance(body, str):
                body = body.encode()
            headers["Content-Type"] = "application/json"
        elif method == "POST":
            body = b""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            conn.request(method, path, body=body, headers=headers)
            res = conn.getresponse()
            raw = res.read()
            status = res.status
            kept = {k: res.getheader(k) for k in ("Content-Type", "WWW-Authenticate", "Transfer-Encoding")}
        finally:
            conn.close()
        text = raw.decode("utf-8", "replace")
        parsed = None
        try:
            parsed = json.loads(text) if text else None
        except ValueError:
            pass
        if isinstance(parsed, dict):
            if isinstance(parsed.get("session"), str):
                self.name(parsed["session"], "SESSION")
            if isinstance(parsed.get("token"), str):
                self.name(parsed["token"], "TOKEN")
        self.transcript.append({"label": label or (method + " " + self.shown(path)), "status": status,
                                "headers": kept, "body": text})
        return status, parsed

    def shown(self, text):
        for value, placeholder in self.names.items():
            text = text.replace(value, placeholder)
        return text

    def open(self, obj, token="default"):
        status, body = self.request("POST", "/v1/sessions", {"object": obj}, token=token)
        return body.get("session", "no-session") if status == 201 else "no-session"

    def records(self, s, provider, body):
        return self.request("POST", "/v1/sessions/%s/providers/%s/records" % (s, provider), body)

    def execute(self, s, provider, body):
        return self.request("POST", "/v1/sessions/%s/providers/%s/execute" % (s, provider), body)

    def apply(self, s, provider, body):
        return self.request("POST", "/v1/sessions/%s/providers/%s/apply" % (s, provider), body)

    def method(self, s, name, body=None):
        return self.request("POST", "/v1/sessions/%s/methods/%s" % (s, name), body)

    def login(self, user, password):
        status, body = self.request("POST", "/v1/login", {"user": user, "password": password})
        return body.get("token") if status == 200 else None


def plan_rows_of(packet, salesman):
    """(rowId, quantity) of a salesman's rows in a plan packet."""
    fields = [f["name"] for f in packet["fields"]]
    at, q = fields.index("RYDM00"), fields.index("ZBSL00")
    return [(rid, row[q]) for rid, row in zip(packet["rowIds"], packet["rows"]) if row[at] == salesman]


def routes(c, accounts):
    """Every route, success and failure."""
    c.request("GET", "/v1/health")
    c.request("HEAD", "/v1/health")
    c.request("GET", "/v1/nothing")
    c.request("GET", "/v1/sessions")
    c.request("PUT", "/v1/health", "")
    c.request("GET", "/v1/" + "x" * 9000, label="GET a target of 9000 bytes")
    if accounts:
        c.request("POST", "/v1/login", "")
        c.request("POST", "/v1/login", {"user": "wang"})
        c.request("POST", "/v1/login", "not json")
        c.request("POST", "/v1/login", {"user": "wang", "password": 5})
        c.request("POST", "/v1/login", {"user": "wang", "password": "wrong-password"})
        c.token = c.login("wang", "planner-pass-1")
        viewer = c.login("zhao", "viewer-pass-1")
        c.request("GET", "/v1/account", token=None)
        c.request("GET", "/v1/account", token="garbage")
        c.request("GET", "/v1/account", token="0" * 64)
        c.request("GET", "/v1/account")
        c.request("GET", "/v1/account", token=viewer)
        c.request("POST", "/v1/sessions", {"object": INFO}, token=None)
        c.request("POST", "/v1/sessions", {"object": INFO}, token="Basic abc")
    else:
        c.request("POST", "/v1/login", {"user": "a", "password": "b"})
        c.request("POST", "/v1/logout", "")
        c.request("GET", "/v1/account")

    # Sessions.
    c.request("POST", "/v1/sessions", "")
    c.request("POST", "/v1/sessions", {"object": "VendrixServer.CoNothing"})
    c.request("POST", "/v1/sessions", {"object": INFO, "clsid": "{00000000-0000-0000-0000-000000000000}"})
    c.request("POST", "/v1/sessions", "not json")
    c.request("POST", "/v1/sessions", "[1]")
    c.request("POST", "/v1/sessions", {"object": 5})
    lower = c.open(INFO.lower())
    c.request("DELETE", "/v1/sessions/" + lower)
    s1 = c.open(INFO)
    _, opened = c.request("POST", "/v1/sessions", {"object": CUST, "clsid": "{45f5b273-f530-40fe-8074-886efa4eaf10}"})
    s2 = opened.get("session", "no-session") if opened else "no-session"

    # dsp_temp.
    for sql in (department_statement(), salesman_statement("01"), remaining_statement(M0, "01", "0101"),
                "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='01' AND NYUE00='%s'" % M0,
                plan_rows_statement(M0, "01", "0101"), "SELECT * FROM XSTYXSZB WHERE NYUE00='%s'" % M0,
                "SELECT * FROM XSTYZB02 WHERE NYUE00='%s'" % M1, salesman_statement("O''Neil"),
                "SELECT 1", "select * from XSTYZB02", ""):
        c.records(s1, TEMP, {"commandText": sql})
    c.records(s1, TEMP, {"commandText": department_statement(), "params": {"NYUE00": M0}})
    c.records(s1, TEMP, {"commandText": 5})
    c.records(s1, TEMP, "{")
    c.records(s1, "dsp_nothing", {"commandText": department_statement()})
    c.records(s1, "DSP_TEMP", {"commandText": department_statement()})
    c.records("0123456789abcdef", TEMP, {"commandText": department_statement()})
    c.records(s2, TEMP, {"commandText": department_statement()})
    c.records(s1, PLAN, {})
    c.execute(s1, TEMP, {"commandText": generation_statement(M0, "01", "0103")})
    c.execute(s1, TEMP, {"commandText": generation_statement(M0, "01", "0103")})
    c.execute(s1, TEMP, {"commandText": department_statement()})
    c.execute(s1, TEMP, {"commandText": ""})
    c.execute(s1, TEMP, {"commandText": "DROP TABLE XSTYZB02"})
    c.execute(s2, PLAN, {"commandText": "x"})
    c.apply(s1, TEMP, {"maxErrors": 0, "delta": []})

    # The plan provider.
    c.records(s2, PLAN, {})
    c.records(s2, PLAN, "")
    _, month = c.records(s2, PLAN, {"params": {"NYUE00": M0}})
    c.records(s2, PLAN, {"params": {"nyue00": M1}})
    c.records(s2, PLAN, {"params": {"NYUE00": "199001"}})
    c.records(s2, PLAN, {"params": {"NYUE00": M0, "nyue00": M0}})
    c.records(s2, PLAN, {"params": {"CKDM00": "01"}})
    c.records(s2, PLAN, {"params": {"NYUE00": 202612}})
    c.records(s2, PLAN, {"params": [M0]})
    c.records(s2, PLAN, {"params": None})
    c.records(s2, PLAN, {"commandText": "SELECT * FROM XSTYZB02"})
    c.records(s2, PLAN, {"params": {"NYUE00": BULK_MONTH}})

    # Applying plan changes.
    rows = plan_rows_of(month, "0101") if month else [(0, 0)] * 6
    (r1, q1), (r2, q2), (r3, q3), (r4, q4), (r5, q5), (r6, _) = rows[:6]
    def change(rid, before, after):
        return {"kind": "modify", "rowId": rid, "original": {"ZBSL00": before}, "values": {"ZBSL00": after}}
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r1, q1, 10)]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r1, q1, 11)]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r2, q2, -5)]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r2, q2, "1e999")]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r2, q2, 2e9)]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r2, q2, 99999)]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [change(r2, q2, "abc")]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "insert", "values": {"ZBSL00": 1}}]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "modify", "rowId": r3, "original": {"ZBSL00": q3, "ZBMC00": "x"},
                                                   "values": {"ZBMC00": "y"}}]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "modify", "rowId": r3, "values": {"ZBSL00": 1}}]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "modify", "rowId": r3, "original": {"ZBSL00": q3},
                                                   "values": {"NOFIELD": 1}}]})
    c.apply(s2, PLAN, {"maxErrors": -1, "delta": [change(r3, q3, 1), change(r4, 12345, 2), change(r5, q5, -1)]})
    c.apply(s2, PLAN, {"maxErrors": 1, "delta": [change(r4, 12345, 2), change(r5, q5, 3), change(999999, 0, 1)]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "delete", "rowId": r6, "original": {"ZBSL00": 777}}]})
    c.apply(s2, PLAN, {"delta": [{"kind": "delete", "rowId": r6}]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "delete", "rowId": r6}]})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "modify"}]})
    c.apply(s2, PLAN, {"maxErrors": 1.5, "delta": []})
    c.apply(s2, PLAN, {"maxErrors": 0})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": 5})
    c.apply(s2, PLAN, {"maxErrors": 0, "delta": [{"kind": "rename", "rowId": 1}]})
    c.records(s2, PLAN, {"params": {"NYUE00": M0}})

    # The transaction methods.
    c.method(s1, "CompanydbTranStart")
    c.method(s1, "CompanydbTranStart")
    c.execute(s1, TEMP, {"commandText": delete_statement(M0, "01", "0103")})
    c.records(s1, TEMP, {"commandText": plan_rows_statement(M0, "01", "0103")})
    c.method(s1, "CompanydbRollback")
    c.records(s1, TEMP, {"commandText": plan_rows_statement(M0, "01", "0103")})
    c.method(s1, "companydbtranstart", "")
    c.execute(s1, TEMP, {"commandText": delete_statement(M0, "01", "0103")})
    c.execute(s1, TEMP, {"commandText": generation_statement(M0, "01", "0101")})
    c.execute(s1, TEMP, {"commandText": "SELECT nothing FROM nowhere"})
    c.method(s1, "CompanydbTranCommit")
    c.method(s1, "CompanydbTranCommit")
    c.method(s1, "CompanydbRollback")
    c.method(s1, "CompanydbNothing")
    c.method(s1, "CompanydbTranStart", "not json")
    c.method(s2, "CompanydbTranStart")
    c.records(s1, TEMP, {"commandText": plan_rows_statement(M0, "01", "0103")})

    # Bodies the server refuses before reading them.
    c.request("POST", "/v1/sessions/%s/providers/%s/records" % (s1, TEMP), "x" * (16 * 1024 * 1024 + 1),
              label="POST records with a body over 16 MiB")

    # Viewers, and a session used with another token.
    if accounts:
        v1 = c.open(INFO, token=viewer)
        v2 = c.open(CUST, token=viewer)
        saved, c.token = c.token, viewer
        c.records(v1, TEMP, {"commandText": department_statement()})
        c.execute(v1, TEMP, {"commandText": generation_statement(M0, "01", "0103")})
        c.execute(v1, TEMP, {"commandText": delete_statement(M0, "01", "0102")})
        c.method(v1, "CompanydbTranStart")
        c.method(v1, "CompanydbRollback")
        c.records(v2, PLAN, {"params": {"NYUE00": M2}})
        c.apply(v2, PLAN, {"maxErrors": 0, "delta": []})
        c.records(s2, PLAN, {"params": {"NYUE00": M0}})
        c.token = saved
        c.records(v1, TEMP, {"commandText": department_statement()})
        other = c.login("wang", "planner-pass-1")
        s3 = c.open(INFO, token=other)
        c.request("POST", "/v1/logout", "", token=other)
        c.request("GET", "/v1/account", token=other)
        c.request("POST", "/v1/logout", "", token=other)
        c.records(s3, TEMP, {"commandText": department_statement()})
        c.request("GET", "/v1/account")
        for _ in range(6):
            c.request("POST", "/v1/login", {"user": "nobody", "password": "wrong-password"})

    c.request("DELETE", "/v1/sessions/" + s1)
    c.request("DELETE", "/v1/sessions/" + s1)
    c.records(s1, TEMP, {"commandText": department_statement()})
    c.request("DELETE", "/v1/sessions/" + s2)
    c.request("GET", "/v1/health")


def limits(c, accounts):
    """Sessions, answer rows, connections and locks at their limits."""
    c.token = c.login("wang", "planner-pass-1")
    viewer = c.login("zhao", "viewer-pass-1")
    li = c.login("li", "planner-pass-2")
    a = c.open(INFO)
    b = c.open(CUST)
    c.open(INFO)
    v = c.open(INFO, token=viewer)
    c.open(INFO, token=li)
    c.records(a, TEMP, {"commandText": department_statement()})
    c.records(a, TEMP, {"commandText": salesman_statement("01")})
    c.request("DELETE", "/v1/sessions/" + v, token=viewer)
    d = c.open(INFO, token=li)
    c.open(INFO, token=viewer)
    # Two transactions hold the two connections: a third call waits, then gives up.
    c.method(a, "CompanydbTranStart")
    c.execute(a, TEMP, {"commandText": delete_statement(M0, "01", "0101")})
    saved, c.token = c.token, li
    c.method(d, "CompanydbTranStart")
    c.records(d, TEMP, {"commandText": salesman_statement("02")})
    c.token = saved
    _, month = c.records(b, PLAN, {"params": {"NYUE00": M0}})
    c.token = li
    c.method(d, "CompanydbRollback")
    c.token = saved
    _, month = c.records(b, PLAN, {"params": {"NYUE00": M0}})
    rows = plan_rows_of(month, "0101") if month else [(0, 0)]
    rid, q = rows[0]
    # A row the open transaction holds: the apply waits for it, then gives up.
    c.apply(b, PLAN, {"maxErrors": 0, "delta": [{"kind": "modify", "rowId": rid, "original": {"ZBSL00": q},
                                                  "values": {"ZBSL00": 1}}]})
    c.method(a, "CompanydbRollback")
    c.apply(b, PLAN, {"maxErrors": 0, "delta": [{"kind": "modify", "rowId": rid, "original": {"ZBSL00": q},
                                                  "values": {"ZBSL00": 1}}]})
    c.request("GET", "/v1/health")


def unreachable(c, accounts):
    """A database that cannot be opened."""
    c.request("GET", "/v1/health")
    c.request("POST", "/v1/sessions", {"object": INFO})
    c.request("POST", "/v1/sessions", {"object": "VendrixServer.CoNothing"})
    c.request("POST", "/v1/sessions/abc/methods/CompanydbTranStart", "")
    c.request("GET", "/v1/account")
    c.request("POST", "/v1/login", {"user": "wang", "password": "planner-pass-1"})


class Databases:
    """A pristine database per engine, copied afresh for every run."""

    def __init__(self, folder, maker, pg):
        self.folder = folder
        self.pg = pg
        self.sqlite_pristine = os.path.join(folder, "pristine.db")
        self.sqlite_run = os.path.join(folder, "run.db")
        self.make(maker, "sqlite3://db=" + self.sqlite_pristine)
        con = sqlite3.connect(self.sqlite_pristine)
        self.bulk(con.execute)
        con.commit()
        con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        con.close()
        if pg:
            self.psql("DROP DATABASE IF EXISTS cmp_run")
            self.psql("DROP DATABASE IF EXISTS cmp_pristine")
            self.psql("CREATE DATABASE cmp_pristine")
            self.make(maker, self.pg_cs("cmp_pristine"))
            statements = []
            self.bulk(lambda sql, params=(): statements.append(sql % tuple("'%s'" % p if isinstance(p, str) else p
                                                                             for p in params) if params else sql))
            self.psql(";\n".join(statements), "cmp_pristine")

    @staticmethod
    def bulk(execute):
        for i in range(3000):
            execute("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) VALUES "
                    "('%s',%d,'1','指标%d',%d.5,'02','0201')" % (BULK_MONTH, i + 1, i, i))

    def make(self, maker, cs):
        subprocess.run([maker, "init", "--demo", "--config", "/dev/null", "--database", cs], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for name, role, password in ACCOUNTS:
            subprocess.run([maker, "user", "add", name, "--role", role, "--config", "/dev/null", "--database", cs],
                           input=(password + "\n").encode(), check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def pg_cs(self, dbname):
        return re.sub(r"dbname=\S+", "dbname=" + dbname, self.pg)

    def psql(self, sql, dbname="postgres"):
        conninfo = self.pg_cs(dbname)[len("postgresql://"):]
        subprocess.run(["psql", "-q", "-v", "ON_ERROR_STOP=1", "-c", "SET client_min_messages=warning", "-f", "-",
                        conninfo], input=sql.encode(), check=True, stdout=subprocess.DEVNULL)

    def fresh(self, engine):
        if engine == "sqlite":
            for suffix in ("", "-wal", "-shm", "-journal"):
                if os.path.exists(self.sqlite_run + suffix):
                    os.remove(self.sqlite_run + suffix)
            shutil.copyfile(self.sqlite_pristine, self.sqlite_run)
            return "sqlite3://db=" + self.sqlite_run
        self.psql("DROP DATABASE IF EXISTS cmp_run")
        self.psql("CREATE DATABASE cmp_run TEMPLATE cmp_pristine")
        return self.pg_cs("cmp_run")

    def missing(self, engine):
        if engine == "sqlite":
            return "sqlite3://db=" + os.path.join(self.folder, "no-such-folder", "none.db")
        return self.pg_cs("cmp_no_such_database")


def run(program, cs, args, scenario, accounts, log):
    port = free_port()
    with open(log, "ab") as err:
        proc = subprocess.Popen([program, "--config", "/dev/null", "--listen", "127.0.0.1:%d" % port, "--database",
                                 cs] + args, stdout=subprocess.DEVNULL, stderr=err)
    transcript = []
    try:
        deadline = time.time() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.time() > deadline:
                    raise RuntimeError("%s did not start (see %s)" % (program, log))
                time.sleep(0.05)
        c = Client(port, transcript)
        scenario(c, accounts)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
    for entry in transcript:
        entry["body"] = c.shown(entry["body"])
        entry["body"] = re.sub(r'"expires":"[0-9T:Z-]+"', '"expires":"EXPIRES"', entry["body"])
    return transcript


def compare(old, new, setup, codes):
    problems = []
    if len(old) != len(new):
        problems.append("%s: %d answers against %d" % (setup, len(old), len(new)))
    for a, b in zip(old, new):
        body = b["body"]
        headers = dict(b["headers"])
        if b["status"] >= 400 and body:
            m = ERROR_WITH_CODE.match(body)
            if not m:
                problems.append("%s: %s: an error answer without its code: %s" % (setup, b["label"], body[:200]))
            else:
                body = m.group(1) + "}"
                codes.setdefault(m.group(2), set()).add("%d %s" % (b["status"], json.loads(body)["error"][:60]))
        if (a["status"], a["headers"], a["body"]) != (b["status"], headers, body):
            problems.append("%s: %s:\n  old %d %s %s\n  new %d %s %s" % (setup, a["label"], a["status"], a["headers"],
                                                                     a["body"][:300], b["status"], headers,
                                                                     body[:300]))
    return problems


def main():
    args = sys.argv[1:]
    transcript_file = None
    if "--transcript" in args:
        i = args.index("--transcript")
        transcript_file = args[i + 1]
        del args[i:i + 2]
    if len(args) != 2 or not all(os.access(a, os.X_OK) for a in args):
        print(__doc__)
        return 77
    old_program, new_program = (os.path.abspath(a) for a in args)
    pg = os.environ.get("SALEPLAN_TEST_PG", "")
    folder = tempfile.mkdtemp(prefix="answer-comparison-")
    try:
        dbs = Databases(folder, old_program, pg)
        setups = [("none", [], routes, False, "fresh"),
                  ("accounts", ["--auth", "accounts"], routes, True, "fresh"),
                  ("limits", ["--auth", "accounts", "--max-sessions", "4", "--max-sessions-per-account", "2",
                              "--max-answer-rows", "3", "--max-connections", "2", "--connection-wait", "1",
                              "--statement-timeout", "1"], limits, True, "fresh"),
                  ("unreachable", [], unreachable, False, "missing"),
                  ("unreachable-accounts", ["--auth", "accounts"], unreachable, True, "missing")]
        engines = ["sqlite"] + (["postgresql"] if pg else [])
        problems, codes, answers, record = [], {}, 0, {}
        for engine in engines:
            for name, extra, scenario, accounts, db in setups:
                setup = "%s/%s" % (engine, name)
                got = []
                for program in (old_program, new_program):
                    cs = dbs.fresh(engine) if db == "fresh" else dbs.missing(engine)
                    got.append(run(program, cs, extra, scenario, accounts, os.path.join(folder, "server.log")))
                problems += compare(got[0], got[1], setup, codes)
                answers += len(got[1])
                record[setup] = got
        if transcript_file:
            with open(transcript_file, "w") as out:
                json.dump(record, out, ensure_ascii=False, indent=1)
        print("answer comparison: %d answers on %s, %d differ" % (answers, " and ".join(engines), len(problems)))
        for code in sorted(codes):
            print("  code %-22s %s" % (code, "; ".join(sorted(codes[code]))))
        for p in problems:
            print(p)
        return 1 if problems else 0
    finally:
        if pg:
            try:
                Databases.psql(dbs, "DROP DATABASE IF EXISTS cmp_run")
                Databases.psql(dbs, "DROP DATABASE IF EXISTS cmp_pristine")
            except Exception:
                pass
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
