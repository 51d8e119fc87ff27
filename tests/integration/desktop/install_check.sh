#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a player's system would get.
# Usage: install_check.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
check() {  # check DESCRIPTION COMMAND...
  if ! "${@:2}" >/dev/null 2>&1; then echo "FAIL: $1"; fail=1; fi
}

# Programs: exactly these, and only in bin/.
expected="kartova-standin orvel orvel-bot orvel-lobby orvel-meet standinctl"
actual=$(cd "$prefix/bin" && ls | sort | tr '\n' ' ' | sed 's/ $//')
[ "$actual" = "$expected" ] || { echo "FAIL: bin/ holds '$actual', not '$expected'"; fail=1; }
stray=$(find "$prefix" -type f -perm /111 ! -path "$prefix/bin/*")
[ -z "$stray" ] || { echo "FAIL: programs outside bin/: $stray"; fail=1; }
tests=$(find "$prefix" -iname '*test*' -o -iname '*bench*')
[ -z "$tests" ] || { echo "FAIL: tests or benchmarks installed: $tests"; fail=1; }

check "desktop entry valid" desktop-file-validate "$prefix/share/applications/org.orvel.Orvel.desktop"
check "metainfo valid" appstreamcli validate --no-net "$prefix/share/metainfo/org.orvel.Orvel.metainfo.xml"
check "metainfo names a screenshot" grep -q '<screenshot type="default">' "$prefix/share/metainfo/org.orvel.Orvel.metainfo.xml"
check "icon installed" test -s "$prefix/share/icons/hicolor/scalable/apps/org.orvel.Orvel.svg"
check "meeting point's unit installed" grep -q '^ExecStart=/usr/bin/orvel-meet' "$prefix/lib/systemd/system/orvel-meet.service"
for package in orvel orvel-standin orvel-meet; do
  check "copyright and changelog of $package" test -s "$prefix/share/doc/$package/copyright" -a -s "$prefix/share/doc/$package/changelog.gz"
done
for program in orvel orvel-lobby orvel-bot orvel-meet kartova-standin standinctl; do
  page="$prefix/share/man/man1/$program.1.gz"
  check "man page of $program" bash -c "gzip -dc '$page' | grep -q '^\.TH \"\?$(echo "$program" | tr a-z A-Z)'"
  check "man page of $program lists --version" bash -c "gzip -dc '$page' | grep -q 'version'"
done

[ $fail -eq 0 ] && echo "installed tree is as expected"
exit $fail
