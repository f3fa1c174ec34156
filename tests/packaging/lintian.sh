#!/usr/bin/env bash
# Debian's own checks of the two packages (built by build_packages.sh): no
# error, and no warning that is not named below with the reason it stays.
#   tests/packaging/lintian.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: lintian.sh BUILD_DIR}" && pwd)"
# Warnings that stay, as "package: tag" with the reason (none today).
allowed=(
)
out=$(lintian --tag-display-limit 0 "$build"/packages/saleplan-server_*.deb "$build"/packages/saleplan-desktop_*.deb 2>&1 \
      | grep -v 'running with root privileges' || true)
echo "$out"
status=0
while IFS= read -r line; do
  case "$line" in
    E:*) echo "lintian: FAILED: $line" >&2; status=1 ;;
    W:*)
      key=$(sed -E 's/^W: ([^:]+): ([^ ]+).*/\1: \2/' <<<"$line")
      printf '%s\n' "${allowed[@]}" | grep -qxF "$key" || { echo "lintian: FAILED: $line" >&2; status=1; } ;;
  esac
done <<<"$out"
[ $status -eq 0 ] && echo "lintian: no error, no unexplained warning"
exit $status
