#!/usr/bin/env bash
# InstallTest.sh install BUILD_DIR HAS_GUI   cmake --install into a scratch prefix
# InstallTest.sh package SOURCE_DIR 1        scripts/package in a clean clone, dpkg -x
# Then checks the installed tree: programs, desktop entry, icon, marker, versions.
set -euo pipefail
MODE=$1 WHERE=$2 GUI=$3
SCRATCH=$(mktemp -d /tmp/atlaspocket-install.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$MODE" = install ]; then
  cmake --install "$WHERE" --prefix "$SCRATCH/usr" >/dev/null
else
  git clone --quiet "$WHERE" "$SCRATCH/src"
  DEB=$(cd "$SCRATCH/src" && scripts/package | tail -n 1)
  case "$DEB" in */atlaspocket_*_amd64.deb) ;; *) fail "scripts/package printed '$DEB'" ;; esac
  [ -f "$SCRATCH/src/$DEB" ] || [ -f "$DEB" ] || fail "no package at $DEB"
  [ -f "$DEB" ] || DEB=$SCRATCH/src/$DEB
  DEPENDS=$(dpkg-deb -f "$DEB" Depends)
  for p in libqt6widgets6 libcurl4 libsqlite3-0 libjpeg62-turbo libpng16-16 qt6-qpa-plugins fonts-noto-cjk; do
    [[ $DEPENDS == *"$p"* ]] || fail "Depends lacks $p: $DEPENDS"
  done
  dpkg -x "$DEB" "$SCRATCH/root"
  mkdir -p "$SCRATCH/usr" && cp -a "$SCRATCH/root/usr/." "$SCRATCH/usr/"
fi

P=$SCRATCH/usr
for f in bin/atlaspocket-cli bin/atlaspocket-tileserver share/atlaspocket/installed \
         share/applications/atlaspocket.desktop share/icons/hicolor/scalable/apps/atlaspocket.svg; do
  [ -e "$P/$f" ] || fail "$f is not installed"
done
# Hints count too: a menu may file an entry whose categories draw one in the wrong place.
VALIDATE=$(desktop-file-validate "$P/share/applications/atlaspocket.desktop" 2>&1) || fail "desktop entry does not validate: $VALIDATE"
[ -z "$VALIDATE" ] || fail "desktop-file-validate has remarks: $VALIDATE"
grep -q '^Icon=atlaspocket$' "$P/share/applications/atlaspocket.desktop" || fail "desktop entry names another icon"
VERSION=$("$P/bin/atlaspocket-cli" --version)
[[ $VERSION =~ ^atlaspocket-cli\ [0-9]+\.[0-9]+ ]] || fail "atlaspocket-cli --version printed '$VERSION'"
SERVER_VERSION=$("$P/bin/atlaspocket-tileserver" --version) || fail "atlaspocket-tileserver --version failed"
[ "${SERVER_VERSION#atlaspocket-tileserver }" = "${VERSION#atlaspocket-cli }" ] ||
  fail "versions differ: '$SERVER_VERSION' / '$VERSION'"
if [ "$GUI" = 1 ] || [ "$GUI" = ON ]; then
  [ -x "$P/bin/atlaspocket" ] || fail "bin/atlaspocket is not installed"
  GUI_VERSION=$(env -u DISPLAY -u WAYLAND_DISPLAY "$P/bin/atlaspocket" --version)
  [ "${GUI_VERSION#atlaspocket }" = "${VERSION#atlaspocket-cli }" ] || fail "versions differ: '$GUI_VERSION' / '$VERSION'"
fi
echo "installed tree OK: $VERSION"
