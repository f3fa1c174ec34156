#!/usr/bin/env bash
# Builds the Debian packages in a build folder (the packaging tests share
# them): cpack, which refuses to go on without the tools that make them right.
#   tests/packaging/build_packages.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: build_packages.sh BUILD_DIR}" && pwd)"
log=$(mktemp /tmp/saleplan-cpack.XXXXXX)
trap 'rm -f "$log"' EXIT
if ! (cd "$build" && rm -rf packages && cpack -G DEB >"$log" 2>&1); then
  cat "$log" >&2
  echo "build_packages: FAILED: cpack" >&2
  exit 1
fi
for p in saleplan-server saleplan-desktop; do
  ls "$build"/packages/${p}_*.deb "$build"/packages/${p}-dbgsym_*.ddeb >/dev/null \
    || { echo "build_packages: FAILED: $p or its debug symbols package is missing" >&2; exit 1; }
done
ls "$build"/packages/
