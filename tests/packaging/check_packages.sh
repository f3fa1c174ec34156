#!/usr/bin/env bash
# Checks what the Debian packages hold (built by build_packages.sh), unpacks
# them into a scratch root and runs the installed programs: the server from its
# config file (health, backup, a change, restore, migration of a database of the
# older layout, stop), the host with the installed module printing through the
# installed template from an unrelated folder. Only loopback addresses are used.
#   tests/packaging/check_packages.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: check_packages.sh BUILD_DIR}" && pwd)"
scratch=$(mktemp -d /tmp/saleplan-pkg.XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "check_packages: FAILED: $*" >&2; [ -f "$scratch/server.log" ] && tail -20 "$scratch/server.log" >&2; exit 1; }
step() { echo "check_packages: $*"; }

server_deb=$(ls "$build"/packages/saleplan-server_*.deb)
desktop_deb=$(ls "$build"/packages/saleplan-desktop_*.deb)

# --- what they hold ---------------------------------------------------------------
contents() { dpkg-deb --contents "$1" | awk '{print $NF}' | sed 's|^\./|/|'; }
for f in /usr/bin/vendrix-server /etc/saleplan/vendrix-server.conf /lib/systemd/system/vendrix-server.service \
         /etc/logrotate.d/saleplan-server /usr/share/man/man1/vendrix-server.1.gz \
         /usr/share/doc/saleplan-server/deployment.md /usr/share/doc/saleplan-server/changelog.gz \
         /usr/share/doc/saleplan-server/copyright; do
  contents "$server_deb" | grep -qx "$f" || fail "saleplan-server lacks $f"
done
for f in /usr/bin/mis-host /usr/share/saleplan/fxyyxszb.frf /usr/share/saleplan/bmjhfp.frf /usr/share/saleplan/glyphs/tbexit.bmp \
         /usr/share/applications/saleplan.desktop /usr/share/man/man1/mis-host.1.gz \
         /usr/share/doc/saleplan-desktop/changelog.gz /usr/share/doc/saleplan-desktop/copyright; do
  contents "$desktop_deb" | grep -qx "$f" || fail "saleplan-desktop lacks $f"
done
# The module is no library of the system: a private folder, no ldconfig.
contents "$desktop_deb" | grep -Eq '^/usr/lib/([^/]+/)?saleplan/libsaleplan\.so$' \
  || fail "saleplan-desktop lacks libsaleplan.so in a private folder"
for f in /etc/saleplan/vendrix-server.conf /etc/logrotate.d/saleplan-server; do
  dpkg-deb --ctrl-tarfile "$server_deb" | tar -xO ./conffiles | grep -qx "$f" || fail "$f is not a conffile"
done
dpkg-deb --field "$server_deb" Depends | grep -q adduser || fail "saleplan-server does not depend on adduser"
dpkg-deb --field "$desktop_deb" Depends | grep -q fonts-wqy-microhei || fail "saleplan-desktop does not depend on the CJK font"
for script in postinst prerm postrm; do
  dpkg-deb --ctrl-tarfile "$server_deb" | tar -xO "./$script" | sh -n || fail "$script does not parse"
done
step "package contents, conffiles and dependencies as expected"

# Maintainer scripts: the debhelper pattern, and purge keeps the system user.
scripts=$(for s in postinst prerm postrm; do dpkg-deb --ctrl-tarfile "$server_deb" | tar -xO "./$s"; done)
if grep -E '^[^#]*systemctl' <<<"$scripts" | grep -v 'daemon-reload' | grep -q .; then
  fail "a maintainer script calls systemctl beyond daemon-reload"
fi
grep -q deluser <<<"$scripts" && fail "purging removes the system user, leaving kept data to a stranger's id"
unit_text=$(dpkg-deb --fsys-tarfile "$server_deb" | tar -xO ./lib/systemd/system/vendrix-server.service)
grep -qx 'LimitNOFILE=65536' <<<"$unit_text" || fail "the unit does not raise the descriptor limit"
grep -qx 'LogsDirectory=saleplan' <<<"$unit_text" || fail "the unit has no log folder"

# --- unpack into a scratch root -------------------------------------------------
root="$scratch/root"
dpkg -x "$server_deb" "$root"
dpkg -x "$desktop_deb" "$root"
server="$root/usr/bin/vendrix-server"

# The man pages name every option and command that --help names.
man_text() { gzip -dc "$1" | sed 's/\\-/-/g'; }
for prog in vendrix-server mis-host; do
  page=$(man_text "$root/usr/share/man/man1/$prog.1.gz")
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$root/usr/bin/$prog" --help)
  for option in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
    grep -q -- "$option" <<<"$page" || fail "the man page of $prog lacks $option"
  done
done
for command in "user add" "user passwd" "user list" "user remove" init migrate backup restore audit; do
  grep -q "$command" <<<"$(man_text "$root/usr/share/man/man1/vendrix-server.1.gz")" \
    || fail "the man page of vendrix-server lacks the command $command"
done
step "the man pages name every option and command"

"$server" --version | grep -Eq '^vendrix-server [0-9]+\.[0-9]+\.[0-9]+ \(commit [0-9a-f]+' || fail "vendrix-server --version"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$root/usr/bin/mis-host" --version | grep -q 'mis-host' \
  || fail "mis-host --version"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$root/usr/bin/mis-host" --help | grep -q -- '--server' \
  || fail "mis-host --help without a display"

# The unit, with its programs pointed into the scratch root.
if command -v systemd-analyze >/dev/null; then
  unit="$scratch/vendrix-server.service"
  sed "s|/usr/bin/vendrix-server|$server|; s|^User=.*|User=root|; s|^Group=.*|Group=root|" \
    "$root/lib/systemd/system/vendrix-server.service" >"$unit"
  # Its Documentation= names the man page of the package, not yet installed here.
  if ! out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$unit" 2>&1); then echo "$out" >&2; fail "systemd-analyze verify"; fi
  step "systemd-analyze verify: clean"
fi

# --- the installed server from its config file ---------------------------------------
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$root/var/lib/saleplan"
conf="$scratch/vendrix-server.conf"
sed -e "s|^listen = .*|listen = 127.0.0.1:$port|" \
    -e "s|/var/lib/saleplan|$root/var/lib/saleplan|" "$root/etc/saleplan/vendrix-server.conf" >"$conf"
db="$root/var/lib/saleplan/saleplan.db"

start_server() {
  "$server" --config "$conf" "$@" 2>>"$scratch/server.log" &
  server_pid=$!
  for _ in $(seq 1 100); do
    curl -sf "http://127.0.0.1:$port/v1/health" >/dev/null 2>&1 && return 0
    kill -0 "$server_pid" 2>/dev/null || { server_pid=""; fail "the installed server did not start"; }
    sleep 0.1
  done
  fail "the installed server did not answer /v1/health"
}
stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || fail "the server did not stop cleanly on SIGTERM"
  server_pid=""
}
records() {  # SQL of the module -> the rows' JSON
  local sid
  sid=$(curl -sf -X POST "http://127.0.0.1:$port/v1/sessions" -d '{"object":"VendrixServer.CoCompanyInfo"}' \
        | python3 -c 'import json,sys; print(json.load(sys.stdin)["session"])')
  curl -sf -X POST "http://127.0.0.1:$port/v1/sessions/$sid/providers/dsp_temp/records" \
       --data-binary "$(python3 -c 'import json,sys; print(json.dumps({"commandText": sys.argv[1]}))' "$1")"
  curl -sf -X DELETE "http://127.0.0.1:$port/v1/sessions/$sid" >/dev/null
}
count_plans() { records "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00='01' AND NYUE00='$1'" \
                | python3 -c 'import json,sys; print(int(json.load(sys.stdin)["rows"][0][0]))'; }

start_server --init --demo
curl -sf "http://127.0.0.1:$port/v1/health" | grep -q '"status":"ok"' || fail "/v1/health"
step "installed server serves from its config file on 127.0.0.1:$port"

# The installed host finds the installed module (no --library) and shows it.
QT_QPA_PLATFORM=offscreen timeout 60 "$root/usr/bin/mis-host" --server "127.0.0.1:$port" \
  --screenshot "$scratch/form.png" --screenshot-delay 300 >"$scratch/host.log" 2>&1 \
  || { cat "$scratch/host.log" >&2; fail "the installed mis-host did not show the installed module"; }
step "installed mis-host loaded the installed module and showed its form"

# From a folder without the template, the installed one lays out the printout
# (not the plain table of column codes a missing template gives).
mkdir "$scratch/elsewhere"
(cd "$scratch/elsewhere" && QT_QPA_PLATFORM=offscreen timeout 60 "$root/usr/bin/mis-host" --server "127.0.0.1:$port" \
   --printout "$scratch/printout.pdf" >"$scratch/host.log" 2>&1) \
  || { cat "$scratch/host.log" >&2; fail "the installed mis-host did not save a printout"; }
printout=$(pdftotext -layout "$scratch/printout.pdf" - | tr -d ' \n')
grep -q '访销员月销售计划' <<<"$printout" && grep -q '指标数量(条)' <<<"$printout" \
  || { echo "$printout" >&2; fail "the printout was not laid out by the installed template"; }
grep -q 'NYUE00' <<<"$printout" && fail "the printout shows raw column codes"
step "installed mis-host printed through the installed template from an unrelated folder"

# SIGHUP does not end it.
kill -HUP "$server_pid"; sleep 0.3
kill -0 "$server_pid" 2>/dev/null || fail "SIGHUP ended the server"
curl -sf "http://127.0.0.1:$port/v1/health" >/dev/null || fail "no answer after SIGHUP"
grep -q 'SIGHUP' "$scratch/server.log" || fail "the log does not say what SIGHUP did"

# Backup of the live database, a change, restore: the change is gone.
month=$(date +%Y%m)
before=$(count_plans "$month")
[ "$before" -gt 0 ] || fail "the demo database has no department plan for $month"
"$server" backup "$scratch/backup.db" --config "$conf" 2>>"$scratch/server.log" || fail "backup of the live database"
sqlite3 "$db" "DELETE FROM XSTYZB01 WHERE CKDM00='01' AND NYUE00='$month'"
[ "$(count_plans "$month")" -eq 0 ] || fail "the change did not take"
stop_server
"$server" restore "$scratch/backup.db" --config "$conf" 2>>"$scratch/server.log" || fail "restore"
start_server
[ "$(count_plans "$month")" -eq "$before" ] || fail "the restored database does not hold the backed-up plan"
step "backup, change, restore: the change is gone"
stop_server

# A database of the older layout (before schema versions): refused, then migrated.
old="$root/var/lib/saleplan/old.db"
sqlite3 "$old" <"$(dirname "$0")/old_layout.sql"
sed "s|saleplan.db|old.db|" "$conf" >"$scratch/old.conf"
set +e
timeout 10 "$server" --config "$scratch/old.conf" 2>"$scratch/old.log"
status=$?
set -e
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "the server serves a database of the older layout (exit $status)"
grep -q 'vendrix-server migrate' "$scratch/old.log" || { cat "$scratch/old.log" >&2; fail "the refusal names no fix"; }
"$server" migrate --config "$scratch/old.conf" 2>>"$scratch/server.log" || fail "migrate"
conf_save="$conf"; conf="$scratch/old.conf"
start_server
[ "$(count_plans 200303)" -eq 1 ] || fail "the migrated database lost its rows"
stop_server
conf="$conf_save"
step "older layout refused with the fix named, migrated, served with its rows"

echo "check_packages: all checks passed"
