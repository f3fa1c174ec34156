#!/usr/bin/env bash
# Runs the deployment guide as written: every ```sh block of docs/deployment.md,
# in order, as root on a scratch copy of this system, with the packages of the
# build folder in the current folder. The scratch system is this machine's own
# root under a copy-on-write overlay, in namespaces of its own (mounts, network
# with loopback only, processes), so nothing it installs, starts or writes
# outlives the run. Its PostgreSQL is the cluster that Debian's postgresql
# package made, started from the overlay's copy; /etc/hosts there gives the
# guide's host names the loopback address. systemd does not run there:
# guide_systemctl.py stands in for systemctl and journalctl.
#
# An HTML comment just before a block steers the harness:
#   <!-- harness: expect="TEXT" -->  the block's output must contain TEXT
#   <!-- harness: stdin="TEXT" -->   TEXT is typed on the block's standard input
#   <!-- harness: needs=NAME -->     the block needs a server change that is
#                                    not done yet: skipped while NAME is pending
#   <!-- harness: fixup=NAME -->     the block runs; while NAME is pending, the
#                                    harness then does what the server does not
#                                    yet do (standin_NAME below)
# When a server change lands, take its NAME out of PENDING: the blocks that
# wait for it run from then on, and their stand-ins no longer do.
#
#   tests/packaging/guide_harness.sh BUILD_DIR GUIDE
# Exit 77 (skipped) when not root or without overlay and namespaces.
set -euo pipefail

# Server changes the guide is written for that are not in the server yet
# (none now); each NAME with its stand-in function standin_NAME below.
PENDING="${GUIDE_PENDING-}"

here="$(cd "$(dirname "$0")" && pwd)"

pending() { case " $PENDING " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

inside() {
  # --- the scratch system -------------------------------------------------------
  scratch=$1
  M="$scratch/root"
  mount --make-rprivate /
  mkdir -p "$scratch/upper" "$scratch/work" "$M"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$M"
  mount -t proc proc "$M/proc"
  mount --rbind /sys "$M/sys"
  mount --rbind /dev "$M/dev"
  mount -t tmpfs tmpfs "$M/run"
  mount -t tmpfs tmpfs "$M/tmp"
  ip link set lo up
  mkdir -p "$M/run/systemd/system" "$M/run/lock"
  printf '127.0.0.1 localhost %s mis.example.com app1.example.com app2.example.com\n::1 localhost\n' \
    "$(hostname)" >"$M/etc/hosts"
  # No package may come from the network here, and none of this machine's own
  # settings of the products may leak in.
  rm -rf "$M/etc/saleplan" "$M/etc/mis_system.ini" "$M/var/lib/saleplan" "$M/var/log/saleplan" \
    "$M/usr/sbin/policy-rc.d"
  mount -t tmpfs -o mode=0700 tmpfs "$M/root"
  for tool in /usr/bin/systemctl /usr/bin/journalctl; do
    install -m 0755 "$here/guide_systemctl.py" "$M$tool"
  done
  # The man-db trigger reindexes every manual page at each install: minutes
  # that say nothing about the guide.
  rm -f "$M/var/lib/man-db/auto-update"
  cp "$build"/packages/saleplan-server_*.deb "$build"/packages/saleplan-desktop_*.deb "$M/root/"
  chroot "$M" pg_lsclusters -h | grep -q . || { echo "guide_harness: FAILED: no PostgreSQL cluster" >&2; return 1; }

  # --- the guide, block by block --------------------------------------------------
  local n=0 ran=0 skipped=0
  for block in "$scratch"/blocks/*.sh; do
    n=$((n + 1))
    local meta="${block%.sh}.meta" needs fixup expect stdin
    needs=$(sed -n 's/^needs=//p' "$meta"); fixup=$(sed -n 's/^fixup=//p' "$meta")
    expect=$(sed -n 's/^expect=//p' "$meta"); stdin=$(sed -n 's/^stdin=//p' "$meta")
    if [ -n "$needs" ] && pending "$needs"; then
      echo "guide_harness: block $n: skipped, waits for the server change \"$needs\""
      skipped=$((skipped + 1))
      continue
    fi
    echo "guide_harness: block $n (line $(sed -n 's/^line=//p' "$meta"))"
    cp "$block" "$M/tmp/block.sh"
    set +e
    printf '%s\n' "$stdin" | chroot "$M" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root USER=root LOGNAME=root LANG=C.UTF-8 TERM=dumb \
      /bin/bash -c 'cd /root && exec /bin/bash -euo pipefail /tmp/block.sh' >"$scratch/out" 2>&1
    local status=$?
    set -e
    sed 's/^/    /' "$scratch/out"
    if [ $status -ne 0 ]; then
      echo "guide_harness: FAILED: block $n exited $status:" >&2
      sed 's/^/  | /' "$block" >&2
      tail -n 20 "$M"/var/log/guide-journal/vendrix-server.service.log 2>/dev/null | sed 's/^/  journal: /' >&2
      return 1
    fi
    if [ -n "$expect" ] && ! grep -qF -- "$expect" "$scratch/out"; then
      echo "guide_harness: FAILED: block $n did not print $expect" >&2
      sed 's/^/  | /' "$block" >&2
      return 1
    fi
    if [ -n "$fixup" ] && pending "$fixup"; then
      echo "guide_harness: block $n: stand-in for the server change \"$fixup\""
      "standin_$fixup"
    fi
    ran=$((ran + 1))
  done

  # --- what the guide promises beyond its commands ---------------------------------
  # The installed desktop, started as the menu starts it (no server named),
  # reaches the server of the settings file over TLS checked against its CA:
  # the server sees its first call (refused until a planner signs in).
  local before after
  before=$(grep -c 'call=' "$M/var/log/saleplan/vendrix-server.log" || true)
  exec_line=$(sed -n 's/^Exec=//p' "$M/usr/share/applications/saleplan.desktop")
  chroot "$M" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 \
    /bin/bash -c "cd /tmp && timeout 15 $exec_line" >"$scratch/desktop.log" 2>&1 || true
  after=$(grep -c 'call=' "$M/var/log/saleplan/vendrix-server.log" || true)
  if [ "$after" -le "$before" ]; then
    cat "$scratch/desktop.log" >&2
    echo "guide_harness: FAILED: the desktop from the menu did not reach the server named in /etc/mis_system.ini" >&2
    return 1
  fi
  echo "guide_harness: the menu's desktop reached https://mis.example.com:7411 ($((after - before)) calls)"

  # The start tells the truth: with a wrong database password the service
  # does not start, and the journal says why (without the password); with the
  # right one it serves again.
  local pwfile="$M/etc/saleplan/database.password"
  cp -p "$pwfile" "$scratch/database.password"
  echo 'not-the-password-4711' >"$pwfile"
  if chroot "$M" systemctl restart vendrix-server 2>/dev/null; then
    echo "guide_harness: FAILED: the service started with a wrong database password" >&2
    return 1
  fi
  # The line the guide shows for it, as it shows it.
  local journal="$M/var/log/guide-journal/vendrix-server.service.log" shown
  shown=$(grep -m1 '^vendrix-server: not started, the database cannot be reached: ' "$scratch/guide.md")
  if [ -z "$shown" ] || ! tail -n 5 "$journal" | grep -qF -- "$shown" || grep -q 'not-the-password-4711' "$journal"; then
    tail -n 5 "$journal" >&2
    echo "guide_harness: FAILED: the journal does not say as the guide does why the service did not start: $shown" >&2
    return 1
  fi
  cp -p "$scratch/database.password" "$pwfile"
  chroot "$M" systemctl start vendrix-server
  echo "guide_harness: a wrong database password stops the start, the journal says so; the right one serves again"

  # Purging keeps the user and its data; a new install finds them as they were.
  local uid
  uid=$(chroot "$M" id -u saleplan)
  chroot "$M" dpkg --purge saleplan-server >/dev/null
  [ "$(chroot "$M" id -u saleplan)" = "$uid" ] && [ "$(stat -c %u "$M/var/lib/saleplan")" = "$uid" ] \
    || { echo "guide_harness: FAILED: purging lost the user saleplan or its data" >&2; return 1; }
  chroot "$M" /bin/bash -c 'cd /root && dpkg -i ./saleplan-server_*.deb' >/dev/null 2>&1
  [ "$(chroot "$M" id -u saleplan)" = "$uid" ] && [ "$(stat -c %u "$M/var/lib/saleplan/backup-$(date +%F).db")" = "$uid" ] \
    || { echo "guide_harness: FAILED: after purge and install the data is not the service's" >&2; return 1; }
  echo "guide_harness: purge kept the user saleplan (uid $uid) and its data; the new install owns them"

  echo "guide_harness: $ran blocks ran, $skipped wait for server changes ($PENDING)"
}

if [ "${1:-}" = "--inside" ]; then
  build=$2
  inside "$3"
  exit $?
fi

build="$(cd "${1:?usage: guide_harness.sh BUILD_DIR GUIDE}" && pwd)"
guide="${2:?usage: guide_harness.sh BUILD_DIR GUIDE}"
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! grep -qw overlay /proc/filesystems; then
  echo "guide_harness: SKIPPED: needs root, unshare and overlayfs"
  exit 77
fi
scratch=$(mktemp -d /tmp/saleplan-guide.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# The blocks, each with what its comment says.
mkdir "$scratch/blocks"
cp "$guide" "$scratch/guide.md"
python3 - "$guide" "$scratch/blocks" <<'PY'
import re, shlex, sys
guide, out = sys.argv[1], sys.argv[2]
lines = open(guide, encoding="utf-8").read().split("\n")
n, i, directive = 0, 0, {}
while i < len(lines):
    line = lines[i]
    m = re.match(r"^<!-- harness: (.*) -->$", line)
    if m:
        directive = dict(w.split("=", 1) for w in shlex.split(m.group(1)))
    elif line.startswith("```sh"):
        start, body = i + 1, []
        i += 1
        while not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        n += 1
        open(f"{out}/{n:02d}.sh", "w").write("\n".join(body) + "\n")
        meta = dict(directive, line=str(start))
        open(f"{out}/{n:02d}.meta", "w").write("".join(f"{k}={v}\n" for k, v in meta.items()))
        directive = {}
    elif line.strip():
        directive = {}
    i += 1
print(f"guide_harness: {n} command blocks in {guide}")
PY

# Namespaces of its own: everything started in there ends with the run.
unshare --mount --net --pid --fork "$0" --inside "$build" "$scratch"
