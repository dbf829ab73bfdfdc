#!/usr/bin/env bash
# The main window under a real window manager (icewm with its taskbar, on
# Xvfb): after the manager has framed it, the window must fill the work area
# and its bottom (设置 and 查看 sit 1 px above it) must not pass the taskbar.
# Offscreen tests cannot see a window manager's frame; this one can.
#   window_manager_check.sh GUI_BINARY TILESERVER_BINARY [SCREENSHOT_DIR]
# Exits 77 (skipped) when Xvfb, icewm, xdotool or xprop is missing.
set -uo pipefail
GUI=$1
SERVER_BIN=$2
SHOTS=${3:-}
for tool in xvfb-run icewm xdotool xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed (scripts/setup installs it)"; exit 77; }
done

WORK=$(mktemp -d /tmp/atlaspocket-wm.XXXXXX)
coproc SERVER { exec "$SERVER_BIN" --port 0; }
SERVER_PID=$SERVER_PID
trap 'kill $SERVER_PID 2>/dev/null; rm -rf "$WORK"' EXIT
read -r -u "${SERVER[0]}" READY PORT
[ "$READY" = LISTENING ] || { echo "the local tile server did not start"; exit 1; }
# A program directory of its own, its settings pointing at the local server.
cp "$GUI" "$WORK/atlaspocket"
printf '[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=%s\r\n' "$PORT" > "$WORK/AtlasPocket.Ini"

cat > "$WORK/inside.sh" <<'INNER'
set -u
WORK=$1; NAME=$2; SHOTS=$3
icewm >/dev/null 2>&1 &
WM=$!
for _ in $(seq 100); do xprop -root _NET_WORKAREA 2>/dev/null | grep -q '=' && break; sleep 0.1; done
read -r AX AY AW AH < <(xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g' | cut -d' ' -f1-4)
# Under AddressSanitizer the X keyboard library trips the strict string
# checks with reads of its own; they are not ours to judge here.
env -u QT_QPA_PLATFORM ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0:detect_leaks=0" \
  "$WORK/atlaspocket" >"$WORK/app.log" 2>&1 &
APP=$!
WIN=$(timeout 60 xdotool search --sync --onlyvisible --name '手机离线地图生成程序' | head -1)
if [ -z "$WIN" ]; then
  echo "$NAME: FAILED: the main window never appeared"; tail -20 "$WORK/app.log"
  kill $APP $WM 2>/dev/null; exit 1
fi
geometry() {
  local info ext
  info=$(xwininfo -id "$WIN")
  ext=$(xprop -id "$WIN" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  echo "$(echo "$info" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /^ *Width/{w=$NF} /^ *Height/{h=$NF} END{print x, y, w, h}') $ext"
}
# Wait until the window has stopped moving: the manager frames it after show().
# A reading counts only once the frame extents are known (eight numbers); a
# busy machine can take a while to get there.
LAST=""; STABLE=0
for _ in $(seq 600); do
  G=$(geometry 2>/dev/null)
  if [ "$(wc -w <<<"$G")" -ne 8 ]; then
    # Not framed yet, or the window was made anew: look it up again.
    STABLE=0; sleep 0.1
    WIN=$(xdotool search --onlyvisible --name '手机离线地图生成程序' 2>/dev/null | head -1)
    continue
  fi
  [ "$G" = "$LAST" ] && STABLE=$((STABLE + 1)) || STABLE=0
  LAST=$G; [ $STABLE -ge 10 ] && break; sleep 0.1
done
if [ $STABLE -lt 10 ]; then
  echo "$NAME: FAILED: the window's frame never settled (last reading: '$LAST')"; tail -20 "$WORK/app.log"
  kill $APP $WM 2>/dev/null; exit 1
fi
read -r X Y W H FL FR FT FB <<<"$LAST"
echo "$NAME: work area ${AW}x${AH}+${AX}+${AY}; client ${W}x${H}+${X}+${Y}; frame left $FL right $FR top $FT bottom $FB"
[ -n "$SHOTS" ] && import -window root "$SHOTS/main-window-icewm-$NAME.png"
kill $APP 2>/dev/null; wait $APP 2>/dev/null; kill $WM 2>/dev/null
FAIL=0
check() { if ! eval "$2"; then echo "FAILED: $1 ($2)"; FAIL=1; fi; }
check "the window starts at the work area's top left" "[ $((X - FL)) -eq $AX ] && [ $((Y - FT)) -eq $AY ]"
check "the bottom of the window (设置, 查看) lies inside the work area" "[ $((Y + H + FB)) -le $((AY + AH)) ]"
check "the window fills the work area" "[ $((W + FL + FR)) -eq $AW ] && [ $((H + FT + FB)) -eq $AH ]"
exit $FAIL
INNER

STATUS=0
for SCREEN in 1280x800 1366x768; do
  timeout 120 xvfb-run -a -s "-screen 0 ${SCREEN}x24" bash "$WORK/inside.sh" "$WORK" "$SCREEN" "$SHOTS" || STATUS=1
done
exit $STATUS
