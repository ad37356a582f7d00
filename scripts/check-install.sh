#!/usr/bin/env bash
# Installs a build into a staging prefix and runs both programs from there, then makes the Debian
# package and checks what it holds and depends on. Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage/usr" >/dev/null
for program in voxlet vidlet; do
  [ -x "$stage/usr/bin/$program" ] || { echo "not installed: bin/$program" >&2; exit 1; }
done

probe=$("$stage/usr/bin/voxlet" --probe --locale en-GB)
case "$probe" in
  *'"t":"probe"'*'"recognizer":true'* | *'"recognizer":true'*'"t":"probe"'*) ;;
  *) echo "installed voxlet --probe printed: $probe" >&2; exit 1 ;;
esac

# Five grey frames of 64x48: the parameter sets come first (type byte 1 after the length).
{ echo "64 48 10 100000"; head -c $((64 * 48 * 4 * 5)) /dev/zero | tr '\0' '\200'; } |
  "$stage/usr/bin/vidlet" >"$stage/out.vid"
[ "$(od -An -tu1 -j4 -N1 "$stage/out.vid" | tr -d ' ')" = 1 ] ||
  { echo "installed vidlet wrote no parameter sets first" >&2; exit 1; }

(cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$stage"/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libx264 libpocketsphinx libpulse pocketsphinx-en-us; do
  case "$depends" in
    *"$needed"*) ;;
    *) echo "the package does not depend on $needed: $depends" >&2; exit 1 ;;
  esac
done
# The listing is read whole: grep -q would end the pipe early, and pipefail take that for a failure.
contents=$(dpkg-deb -c "$deb")
for file in /usr/bin/voxlet /usr/bin/vidlet /usr/share/voxlet/en-us.dict; do
  grep -q "$file\$" <<<"$contents" || { echo "the package lacks $file" >&2; exit 1; }
done
echo "installed programs run; $(basename "$deb") depends on: $depends"
