#!/usr/bin/env bash
# Installs, builds, and shows both programs at work on this machine with no microphone:
# voxlet dictates a synthesised sentence played into a private sound server's virtual microphone,
# and vidlet encodes a test pattern into out/demo.mp4.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target voxlet vidlet
mkdir -p out
work=$(mktemp -d)
pulse_pid=""
cleanup() {
  [ -n "$pulse_pid" ] && kill "$pulse_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== voxlet: dictation from a virtual microphone"
mkdir -p "$work/run" "$work/home"
cat >"$work/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=mic format=float32le rate=48000 channels=1
set-default-sink mic
set-default-source mic.monitor
PA
export XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
  -F "$work/default.pa" >/dev/null 2>&1 &
pulse_pid=$!
until pactl info >/dev/null 2>&1; do
  kill -0 "$pulse_pid" 2>/dev/null || { echo "the sound server did not start" >&2; exit 1; }
  sleep 0.1
done
flite -voice rms -t "Please send the quarterly report to the whole team before Friday." \
  -o "$work/speech.wav"
mkfifo "$work/control"
build/bin/voxlet --locale en-US <"$work/control" > >(tee "$work/events") &
voxlet_pid=$!
exec 3>"$work/control"
# Speech before "ready" would not be heard: the model loads first.
until grep -q '"ready"' "$work/events" 2>/dev/null; do
  kill -0 "$voxlet_pid" 2>/dev/null || { echo "voxlet ended before it was ready" >&2; exit 1; }
  sleep 0.05
done
paplay "$work/speech.wav"
sleep 1.5
echo stop >&3
exec 3>&-
wait "$voxlet_pid" && echo "voxlet exited with status 0"

echo "== vidlet: 5 seconds of a test pattern at 640x360, 30 fps"
{
  echo "640 360 30 2000000"
  ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=30 -t 5 -f rawvideo -pix_fmt bgra -
} | build/bin/vidlet >"$work/demo.vid"
scripts/vidlet-to-h264.py <"$work/demo.vid" >"$work/demo.h264"
ffmpeg -v error -y -r 30 -f h264 -i "$work/demo.h264" -c copy out/demo.mp4
ffprobe -v error -show_entries stream=codec_name,profile,width,height,nb_frames -of compact out/demo.mp4
echo "wrote out/demo.mp4"
