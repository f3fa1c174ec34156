#!/usr/bin/env python3
"""systemctl and journalctl for the deployment guide's scratch system, which
runs no systemd. Installed there over /usr/bin/systemctl and
/usr/bin/journalctl (so also the maintainer scripts' deb-systemd-helper and
deb-systemd-invoke reach it). It does what systemd would do for
the units the guide uses:

- vendrix-server: runs the unit file's ExecStart as its User and Group, in its
  WorkingDirectory, with its LimitNOFILE, its StateDirectory, LogsDirectory
  and RuntimeDirectory made, and waits for the service's READY=1 (Type=notify) on a notify socket,
  or reports the failure as systemd does when the process ends first; reload
  sends SIGHUP; standard output and error go to the unit's journal;
- postgresql: pg_ctlcluster on every cluster; haproxy: the daemon with its
  config file.
"""
import glob
import os
import pwd
import grp
import resource
import shlex
import signal
import socket
import subprocess
import sys
import time

STATE = "/run/guide-units"
JOURNAL = "/var/log/guide-journal"
WANTS = "/etc/systemd/system/multi-user.target.wants"


def unit_name(name):
    name = name.split("@")[0] if name.startswith("postgresql@") else name
    return name if name.endswith(".service") else name + ".service"


def unit_file(unit):
    for d in ("/etc/systemd/system", "/lib/systemd/system", "/usr/lib/systemd/system"):
        path = os.path.join(d, unit)
        if os.path.exists(path):
            return path
    return None


def unit_settings(unit):
    settings = {}
    for line in open(unit_file(unit)):
        line = line.strip()
        if "=" in line and not line.startswith(("#", ";", "[")):
            key, value = line.split("=", 1)
            settings[key.strip()] = value.strip()
    return settings


def pid_of(unit):
    try:
        pid = int(open(os.path.join(STATE, unit + ".pid")).read())
        os.kill(pid, 0)
        with open(f"/proc/{pid}/stat") as f:
            if f.read().split(")")[-1].split()[0] == "Z":
                return None
        return pid
    except (OSError, ValueError):
        return None


def journal(unit):
    os.makedirs(JOURNAL, exist_ok=True)
    return os.path.join(JOURNAL, unit + ".log")


def log(unit, text):
    with open(journal(unit), "a") as f:
        f.write(f"{time.strftime('%b %d %H:%M:%S')} systemd[1]: {text}\n")


def start_vendrix(unit):
    if pid_of(unit):
        return 0
    s = unit_settings(unit)
    user = pwd.getpwnam(s.get("User", "root"))
    group = grp.getgrnam(s.get("Group", "root"))
    for key, base in (("StateDirectory", "/var/lib"), ("LogsDirectory", "/var/log"), ("RuntimeDirectory", "/run")):
        if key in s:
            path = os.path.join(base, s[key])
            os.makedirs(path, exist_ok=True)
            os.chown(path, user.pw_uid, group.gr_gid)
            os.chmod(path, int(s.get(key + "Mode", "0755"), 8))
    notify_path = os.path.join(STATE, unit + ".notify")
    if os.path.exists(notify_path):
        os.unlink(notify_path)
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    os.chmod(notify_path, 0o777)
    limit = int(s.get("LimitNOFILE", "1024"))
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and limit > hard:
        log(unit, f"LimitNOFILE={limit} is above what this scratch system may give: {hard}")
        limit = hard

    def as_service():
        os.setsid()
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        os.setgroups([])
        os.setgid(group.gr_gid)
        os.setuid(user.pw_uid)
        os.umask(int(s.get("UMask", "0022"), 8))

    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8",
           "NOTIFY_SOCKET": notify_path, "HOME": user.pw_dir}
    out = open(journal(unit), "a")
    proc = subprocess.Popen(shlex.split(s["ExecStart"]), cwd=s.get("WorkingDirectory", "/"), env=env,
                            stdin=subprocess.DEVNULL, stdout=out, stderr=out, preexec_fn=as_service)
    open(os.path.join(STATE, unit + ".pid"), "w").write(str(proc.pid))
    notify.settimeout(0.2)
    deadline = time.time() + 30
    while time.time() < deadline:
        try:
            if b"READY=1" in notify.recv(4096):
                log(unit, f"Started {s.get('Description', unit)}.")
                return 0
        except socket.timeout:
            pass
        if proc.poll() is not None:
            log(unit, f"{unit}: Main process exited, status={proc.returncode}/FAILURE")
            print(f"Job for {unit} failed because the control process exited with error code.\n"
                  f"See \"systemctl status {unit}\" and \"journalctl -xeu {unit}\" for details.", file=sys.stderr)
            return 1
    print(f"Job for {unit} timed out.", file=sys.stderr)
    return 1


def stop_pid(unit, pid, seconds=30):
    os.kill(pid, signal.SIGTERM)
    for _ in range(seconds * 10):
        if not pid_of(unit):
            break
        time.sleep(0.1)
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass
    os.unlink(os.path.join(STATE, unit + ".pid"))


def clusters():
    out = subprocess.run(["pg_lsclusters", "-h"], capture_output=True, text=True).stdout
    return [line.split()[:2] for line in out.splitlines() if line.strip()]


def act(action, unit):
    if unit == "postgresql.service":
        pg_action = {"start": "start", "stop": "stop", "restart": "restart", "reload": "reload"}.get(action)
        if action == "is-active":
            return 0 if clusters() and all(
                subprocess.run(["pg_ctlcluster", v, c, "status"], capture_output=True).returncode == 0
                for v, c in clusters()) else 3
        if pg_action:
            os.makedirs("/run/postgresql", exist_ok=True)
            pg = pwd.getpwnam("postgres")
            os.chown("/run/postgresql", pg.pw_uid, pg.pw_gid)
            os.chmod("/run/postgresql", 0o2775)
            for v, c in clusters():
                running = subprocess.run(["pg_ctlcluster", v, c, "status"], capture_output=True).returncode == 0
                if pg_action == "start" and running:
                    continue
                subprocess.run(["pg_ctlcluster", "--skip-systemctl-redirect", v, c, pg_action], check=True)
        return 0
    if unit == "haproxy.service":
        pidfile = "/run/haproxy.pid"
        if action in ("start", "restart", "reload"):
            old = open(pidfile).read().split() if os.path.exists(pidfile) else []
            cmd = ["haproxy", "-D", "-f", "/etc/haproxy/haproxy.cfg", "-p", pidfile]
            if old and action != "start":
                cmd += ["-sf"] + old
            elif old:
                return 0
            return subprocess.run(cmd).returncode
        if action == "stop" and os.path.exists(pidfile):
            for pid in open(pidfile).read().split():
                os.kill(int(pid), signal.SIGTERM)
            os.unlink(pidfile)
        return 0
    if unit_file(unit) is None:
        print(f"Failed to {action} {unit}: Unit {unit} not found.", file=sys.stderr)
        return 5
    pid = pid_of(unit)
    if action == "start":
        return start_vendrix(unit)
    if action == "stop":
        if pid:
            stop_pid(unit, pid)
            log(unit, f"Stopped {unit}.")
        return 0
    if action == "restart":
        if pid:
            stop_pid(unit, pid)
        return start_vendrix(unit)
    if action == "reload":
        if not pid:
            print(f"{unit} is not active, cannot reload.", file=sys.stderr)
            return 1
        os.kill(pid, signal.SIGHUP)
        return 0
    if action == "is-active":
        print("active" if pid else "inactive")
        return 0 if pid else 3
    if action == "status":
        print(f"* {unit}\n     Active: {'active (running)' if pid else 'inactive (dead)'}")
        if os.path.exists(journal(unit)):
            print("".join(open(journal(unit)).readlines()[-10:]), end="")
        return 0 if pid else 3
    if action == "is-enabled":
        enabled = os.path.exists(os.path.join(WANTS, unit))
        print("enabled" if enabled else "disabled")
        return 0 if enabled else 1
    if action == "preset":
        action = "enable"
    if action in ("enable", "disable"):
        link = os.path.join(WANTS, unit)
        if action == "enable" and not os.path.exists(link):
            os.makedirs(WANTS, exist_ok=True)
            os.symlink(unit_file(unit), link)
        elif action == "disable" and os.path.lexists(link):
            os.unlink(link)
        return 0
    print(f"systemctl (scratch system): {action} is not supported", file=sys.stderr)
    return 1


def systemctl(args):
    words = [a for a in args if not a.startswith("-")]
    if "--version" in args:
        print("systemd 252 (252.0)")
        return 0
    if not words or words[0] in ("daemon-reload", "list-units"):
        return 0
    action, units = words[0], [unit_name(u) for u in words[1:]]
    if action == "enable" and "--now" in args:
        return max(act("enable", u) or act("start", u) for u in units)
    status = 0
    for u in units:
        status = max(status, act(action, u))
    return status


def journalctl(args):
    unit, lines = None, 10
    it = iter(args)
    for a in it:
        if a in ("-u", "--unit"):
            unit = unit_name(next(it))
        elif a.startswith("--unit="):
            unit = unit_name(a.split("=", 1)[1])
        elif a in ("-n", "--lines"):
            lines = int(next(it))
    files = [journal(unit)] if unit else glob.glob(os.path.join(JOURNAL, "*.log"))
    for f in files:
        if os.path.exists(f):
            print("".join(open(f).readlines()[-lines:]), end="")
    return 0


if __name__ == "__main__":
    os.makedirs(STATE, exist_ok=True)
    tool = os.path.basename(sys.argv[0])
    sys.exit(journalctl(sys.argv[1:]) if tool == "journalctl" else systemctl(sys.argv[1:]))
