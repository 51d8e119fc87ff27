#!/usr/bin/env bash
# scripts/demo on a machine without a display, with a short race: it must end by itself and
# leave screenshots of the game and of Orvel, with the bot's car moving in the game's slot 1
# and its hello shown on the game's screen.
set -euo pipefail
source_dir=$1
build_dir=$2
command -v Xvfb >/dev/null || { echo "Xvfb is not installed"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
out="$tmp/out"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY timeout 240 "$source_dir/scripts/demo" --no-build \
    --build-dir "$build_dir" --seconds 12 --out "$out" >"$tmp/demo.log" 2>&1 || status=$?
cat "$tmp/demo.log"
fail() {
    echo "FAILED: $*"
    exit 1
}
[ "$status" = 0 ] || fail "scripts/demo ended with status $status"
grep -q "Screenshots and logs: $out" "$tmp/demo.log" || fail "the demo did not name its folder"

# Pictures: PNG files of some substance, several of each kind.
for kind in display kartova orvel; do
    count=0
    for f in "$out"/*-"$kind".png; do
        [ -f "$f" ] || continue
        [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' \n')" = 89504e47 ] || fail "$f is no PNG"
        [ "$(stat -c %s "$f")" -gt 4000 ] || fail "$f is nearly empty"
        count=$((count + 1))
    done
    [ "$count" -ge 2 ] || fail "fewer than two $kind screenshots"
done

# The bot's car moved in the game: slot 1's position differs between the first and last shot.
first=$(ls "$out"/*-kartova-car1.txt | head -n1)
last=$(ls "$out"/*-kartova-car1.txt | tail -n1)
position() { grep -o '"x":[-0-9.e]*,"y":[-0-9.e]*' "$1"; }
grep -q '"present":true' "$last" || fail "no car in slot 1: $(cat "$last")"
[ -n "$(position "$last")" ] || fail "slot 1 unreadable: $(cat "$last")"
[ "$(position "$first")" != "$(position "$last")" ] ||
    fail "the bot's car stood still: $(position "$first")"

# Its hello reached Orvel and, through it, the game's screen.
grep -q "hello from the bot" "$out"/*-kartova-message.txt ||
    fail "the hello never showed in the game: $(cat "$out"/*-kartova-message.txt)"
# The bot saw the host's car states.
grep -Eq 'car states: Host=[1-9]' "$out/orvel-bot.log" || fail "the bot got no car states"
# The orvel the lobby started has been stopped with the rest.
orvel_pid=$(sed -n 's/.*(pid \([0-9]*\)) took.*/\1/p' "$tmp/demo.log" | head -n1)
[ -n "$orvel_pid" ] || fail "the demo's lobby client named no program"
if kill -0 "$orvel_pid" 2>/dev/null; then
    kill "$orvel_pid" 2>/dev/null || true
    fail "orvel (pid $orvel_pid) outlived the demo"
fi
echo "demo test passed"
