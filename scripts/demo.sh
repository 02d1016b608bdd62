#!/usr/bin/env bash
# A whole meeting, end to end, on this machine alone: a private headless audio server
# with a virtual microphone and speakers, the local Kavo dev stack, the tray application
# (drawn offscreen) signed in to it, and a scripted call: a fake Zoom holds the
# microphone, one voice speaks into the microphone and another comes out of the
# speakers. The recording starts by itself 3 s into the call, stops 20 s after it ends,
# is uploaded and delivered; the menu then lists it as "Uploaded".
#
#   scripts/demo.sh [--binary PATH] [--out DIR]
#
# DIR receives the capture (WAV and sidecar), the copy the server stored, the menu as
# text and as a PNG, and timeline.json (when each voice played, in Unix seconds).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
binary="$root/build/release/src/kavo-meetings"
out="$PWD/demo-output"
while [ $# -gt 0 ]; do
  case "$1" in
    --binary) binary="$(realpath "$2")"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "demo: unknown option $1" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
out="$(realpath "$out")"
rm -f "$out"/capture-*.wav "$out"/capture-*.json "$out"/server-copy.wav "$out"/menu.* "$out"/timeline.json

work="$(mktemp -d /tmp/kavo-demo-XXXXXX)"
export HOME="$work" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
  XDG_STATE_HOME="$work/state" QT_QPA_PLATFORM=offscreen
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
captures="$XDG_DATA_HOME/brindle.meetings.desktop/Captures"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pulseaudio --kill 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
say() { printf '[demo %s] %s\n' "$(date +%T)" "$*"; }
now() { date +%s.%N; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
# The menu as the tray application last printed it.
menu_now() { awk 'BEGIN{RS="Menu:\n"} END{printf "%s", $0}' "$work/tray.out"; }
menu_has() { menu_now | grep -q -e "$1"; }
json() { node -p "const o = JSON.parse(require('fs').readFileSync('$1', 'utf8')); $2"; }
admin() { # METHOD PATH [BODY]
  node -e "fetch(process.argv[1], {method: process.argv[2], headers: {'content-type': 'application/json'},
    body: process.argv[3] || undefined}).then(r => { if (!r.ok) process.exit(1); })" \
    "$admin_url$2" "$1" "${3:-}"
}

say "Starting a private audio server: speakers and a virtual microphone"
pulseaudio -D -n --exit-idle-time=-1 --disallow-exit --log-target="file:$work/pulse.log" \
  --load=module-native-protocol-unix \
  --load="module-null-sink sink_name=speakers" \
  --load="module-null-sink sink_name=micsrc" \
  --load="module-remap-source master=micsrc.monitor source_name=mic"
wait_for 10 pactl info >/dev/null 2>&1
pactl set-default-sink speakers
pactl set-default-source mic

say "Starting the Kavo dev stack"
"$root/devstack/run.sh" --port 0 --data "$work/stack" >"$work/stack.json" 2>"$work/stack.log" &
pids+=($!)
wait_for 60 test -s "$work/stack.json" || { cat "$work/stack.log" >&2; exit 1; }
export KAVO_ENDPOINTS="$work/stack.json"
admin_url="$(json "$work/stack.json" o.adminURL)"
# Device codes are polled every second instead of five, to keep the demo short.
admin PATCH /settings '{"identity": {"deviceCode": {"intervalSeconds": 1}}}'

say "Signing in as the stack's default user (device code, approved by the stack)"
"$binary" sign-in --device-code

say "Launching the tray application"
"$binary" tray --print-menu --save-menu "$out/menu.png" >"$work/tray.out" 2>"$work/tray.log" &
tray=$!
pids+=("$tray")
wait_for 30 menu_has "Start Recording" || { cat "$work/tray.log" >&2; exit 1; }
say "Signed in; the menu offers Start Recording"

espeak-ng -w "$work/near.wav" "Good morning everyone. This is Avery, speaking into the microphone. Let's review the launch plan."
espeak-ng -v en+f3 -w "$work/far.wav" "Thanks Avery. This is Jordan on the far side of the call. The launch is on track for Friday."

say "The call begins: a fake Zoom holds the microphone"
parec --device=mic --property=application.process.binary=zoom \
  --property=application.name="ZOOM VoiceEngine" >/dev/null &
zoom=$!
pids+=("$zoom")
wait_for 15 menu_has "Stop Recording" || { cat "$work/tray.log" >&2; exit 1; }
say "Recording started by itself"

sleep 1
near_start=$(now); paplay --device=micsrc "$work/near.wav"; near_end=$(now)
sleep 1
far_start=$(now); paplay --device=speakers "$work/far.wav"; far_end=$(now)
sleep 1
cat >"$out/timeline.json" <<EOF
{"near": {"start": $near_start, "end": $near_end}, "far": {"start": $far_start, "end": $far_end}}
EOF

say "The call ends; the recording stops 20 s later"
kill "$zoom"
wait_for 40 menu_has "Start Recording" || { cat "$work/tray.log" >&2; exit 1; }
say "Recording stopped; uploading"
# The upload line reads "Uploaded" once the server reports the recording delivered.
wait_for 120 menu_has "^Uploaded$" || { tail -n 30 "$work/tray.log" >&2; exit 1; }
sleep 0.5

menu_now >"$out/menu.txt"
kill -TERM "$tray"
if ! wait "$tray"; then
  tail -n 30 "$work/tray.log" >&2
  say "The tray application did not end cleanly"; exit 1
fi

sidecar="$(ls "$captures"/capture-*.json | head -n 1)"
cp "$sidecar" "${sidecar%.json}.wav" "$out/"
recording="$(json "$sidecar" o.recordingId)"
node -e "fetch(process.argv[1]).then(async r => { if (!r.ok) process.exit(1);
  require('fs').writeFileSync(process.argv[2], Buffer.from(await r.arrayBuffer())); })" \
  "$admin_url/recordings/$recording/blob" "$out/server-copy.wav"

say "The menu now:"
cat "$out/menu.txt"
say "Sidecar: $(json "$sidecar" "o.uploadState + ', recording ' + o.recordingId + ', ' + o.durationSeconds.toFixed(1) + ' s'")"
if cmp -s "${sidecar%.json}.wav" "$out/server-copy.wav"; then
  say "The server's copy is byte-identical to the recording"
else
  say "The server's copy differs from the recording"; exit 1
fi
say "Files in $out:"
ls -l "$out"
