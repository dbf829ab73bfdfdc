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
for tool in Xvfb icewm xdotool xprop xwininfo; do
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
# Every wait below is for a property the X server or the manager sets; the
# bounds only catch a hang, so they are generous for a loaded machine.
WaitFor() {  # WaitFor SECONDS COMMAND...: until COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.1; done
}
icewm >"$WORK/icewm-$NAME.log" 2>&1 &
WM=$!
Root() { xprop -root "$1" 2>/dev/null | grep -q ' = \| # '; }
# The manager is ready once it announces itself and the work area.
if ! WaitFor 120 Root _NET_SUPPORTING_WM_CHECK || ! WaitFor 120 Root _NET_WORKAREA; then
  echo "$NAME: FAILED: icewm never announced itself and its work area"; xprop -root | head -40; cat "$WORK/icewm-$NAME.log"
  kill $WM 2>/dev/null; exit 1
fi
read -r AX AY AW AH < <(xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g' | cut -d' ' -f1-4)
# Under AddressSanitizer the X keyboard library trips the strict string
# checks with reads of its own; they are not ours to judge here.
env -u QT_QPA_PLATFORM ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0:detect_leaks=0" \
  "$WORK/atlaspocket" >"$WORK/app.log" 2>&1 &
APP=$!
Stop() { kill $APP $WM 2>/dev/null; }
# The main window is the client the manager lists under its caption: a lookup
# by name alone could also find the manager's frame around it.
WIN=""
FindClient() {
  local id
  for id in $(xprop -root _NET_CLIENT_LIST 2>/dev/null | sed -n 's/.*# //p' | tr -d ','); do
    if [ "$(xdotool getwindowname "$id" 2>/dev/null)" = '手机离线地图生成程序' ]; then WIN=$id; return 0; fi
  done
  kill -0 $APP 2>/dev/null || return 0  # the program died: stop waiting
  return 1
}
if ! WaitFor 180 FindClient || [ -z "$WIN" ]; then
  echo "$NAME: FAILED: the manager never listed the main window (clients: $(xprop -root _NET_CLIENT_LIST 2>&1))"
  tail -20 "$WORK/app.log"; Stop; exit 1
fi
# What the manager and the program have made of the window: client position
# and size, then the frame extents the manager sets once it has framed it.
LAST=""
Reading() {
  local info ext
  info=$(xwininfo -id "$WIN" 2>/dev/null) || return 1
  ext=$(xprop -id "$WIN" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ',')
  LAST="$(awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /^ *Width/{w=$NF} /^ *Height/{h=$NF} END{print x, y, w, h}' <<<"$info") $ext"
}
# The program fits its window to the work area once the frame is known, in a
# few steps; wait for the frame and then for the fit.
Fitted() {
  Reading || return 1
  read -r X Y W H FL FR FT FB <<<"$LAST"
  [ -n "${FB:-}" ] && [ $((X - FL)) -eq $AX ] && [ $((Y - FT)) -eq $AY ] &&
    [ $((W + FL + FR)) -eq $AW ] && [ $((H + FT + FB)) -eq $AH ]
}
WaitFor 120 Fitted
Reading
read -r X Y W H FL FR FT FB <<<"$LAST"
echo "$NAME: work area ${AW}x${AH}+${AX}+${AY}; window and frame extents (x y w h left right top bottom): '$LAST'"
[ -n "$SHOTS" ] && import -window root "$SHOTS/main-window-icewm-$NAME.png"
Stop; wait $APP 2>/dev/null
if [ -z "${FB:-}" ]; then
  echo "$NAME: FAILED: the manager never set the window's frame extents"; tail -20 "$WORK/app.log"; exit 1
fi
FAIL=0
check() { if ! eval "$2"; then echo "$NAME: FAILED: $1 ($2)"; FAIL=1; fi; }
check "the window starts at the work area's top left" "[ $((X - FL)) -eq $AX ] && [ $((Y - FT)) -eq $AY ]"
check "the bottom of the window (设置, 查看) lies inside the work area" "[ $((Y + H + FB)) -le $((AY + AH)) ]"
check "the window fills the work area" "[ $((W + FL + FR)) -eq $AW ] && [ $((H + FT + FB)) -eq $AH ]"
exit $FAIL
INNER

# Xvfb picks a free display itself and names it once it takes connections
# (-displayfd): xvfb-run -a guesses a number, which a server still going away
# can hold, and then runs the check against no display at all.
STATUS=0
for SCREEN in 1280x800 1366x768; do
  rm -f "$WORK/display"
  Xvfb -displayfd 9 -screen 0 "${SCREEN}x24" -nolisten tcp 9>"$WORK/display" 2>"$WORK/xvfb.log" &
  XVFB=$!
  for _ in $(seq 1200); do
    grep -q '[0-9]' "$WORK/display" 2>/dev/null && break
    kill -0 $XVFB 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '[0-9]' "$WORK/display" 2>/dev/null; then
    echo "$SCREEN: FAILED: Xvfb did not start"; cat "$WORK/xvfb.log"; kill $XVFB 2>/dev/null; STATUS=1; continue
  fi
  DISPLAY=":$(tr -dc 0-9 <"$WORK/display")" timeout 600 bash "$WORK/inside.sh" "$WORK" "$SCREEN" "$SHOTS" || STATUS=1
  kill $XVFB 2>/dev/null; wait $XVFB 2>/dev/null
done
exit $STATUS
