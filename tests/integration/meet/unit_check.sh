#!/usr/bin/env bash
# The meeting point's systemd unit: systemd-analyze finds nothing wrong with it, and rates its
# sandbox "OK" or better (exposure 2.0 at most). Skipped (77) where systemd is not installed.
# Usage: unit_check.sh UNIT_FILE PROGRAM
set -euo pipefail
unit=$1 program=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: the unit is not checked"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# The unit starts the installed program; here, the one just built.
sed "s|^ExecStart=/usr/bin/orvel-meet|ExecStart=$program|" "$unit" >"$dir/orvel-meet.service"
findings=$(systemd-analyze verify --man=no "$dir/orvel-meet.service" 2>&1) || true
if [ -n "$findings" ]; then
  echo "FAIL: systemd-analyze verify: $findings"
  exit 1
fi
if ! systemd-analyze security --offline=yes --threshold=20 "$dir/orvel-meet.service" >"$dir/security" 2>&1; then
  echo "FAIL: the sandbox is weaker than expected:"
  grep -E '✗|exposure' "$dir/security"
  exit 1
fi
grep 'exposure' "$dir/security"
