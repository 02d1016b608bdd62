#!/usr/bin/env bash
# Sets up, builds and runs the recorder on an embedded default: a private headless audio
# server with a virtual microphone and speakers, speech on both sides of a short "call",
# and a capture of it with `kavo-meetings record`. Needs no outside server.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=OFF >/dev/null
cmake --build --preset release -j "$(nproc)" --target kavo-meetings

demo=$(mktemp -d /tmp/kavo-demo-XXXXXX)
export HOME=$demo XDG_RUNTIME_DIR=$demo/run XDG_DATA_HOME=$demo/data
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
pulseaudio -D -n --exit-idle-time=-1 --disallow-exit --log-target="file:$demo/pulse.log" \
  --load=module-native-protocol-unix \
  --load="module-null-sink sink_name=speakers" \
  --load="module-null-sink sink_name=micsrc" \
  --load="module-remap-source master=micsrc.monitor source_name=mic"
trap 'pulseaudio --kill 2>/dev/null || true' EXIT
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink speakers
pactl set-default-source mic

espeak-ng -w "$demo/far.wav" "Hello, this is the far side of the call, coming out of the speakers."
espeak-ng -v en-us -w "$demo/near.wav" "And this is me, speaking into the microphone."
(sleep 1; paplay --device=speakers "$demo/far.wav"; paplay --device=micsrc "$demo/near.wav") &

build/release/src/kavo-meetings record --seconds 12
echo
echo "Captures folder: $XDG_DATA_HOME/brindle.meetings.desktop/Captures"
for sidecar in "$XDG_DATA_HOME"/brindle.meetings.desktop/Captures/*.json; do cat "$sidecar"; echo; done
