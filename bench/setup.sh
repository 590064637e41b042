#!/usr/bin/env bash
# Installs what the benchmarks need beyond the project's own dependencies:
# Debian's Chromium, the browser a Linux user would run the web client in
# instead of ORVO, and perf for profiling a slow run. Benchmarks are not tests,
# so these stay out of the list in scripts/install-deps.sh, which installs them
# (and anything else missing) quietly and only once.
set -euo pipefail
exec "$(dirname "$0")/../scripts/install-deps.sh" chromium linux-perf
