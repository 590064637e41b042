#!/usr/bin/env bash
# Installs what the benchmarks need beyond the project's own dependencies:
# Debian's Chromium, the browser a Linux user would run the web client in
# instead of ORVO, and perf for profiling a slow run. Benchmarks are not tests,
# so none of this belongs in scripts/install-deps.sh.
# Idempotent: it installs only what is missing and prints nothing when all is there.
set -euo pipefail

packages=(chromium linux-perf)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
