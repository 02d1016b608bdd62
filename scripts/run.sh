#!/usr/bin/env bash
# Sets up, builds and runs the main job on an embedded default, with no outside server:
# a scripted meeting recorded by itself, uploaded to the local Kavo dev stack and shown
# as "Uploaded" in the tray menu (scripts/demo.sh tells the story as it goes). What it
# made lands in ./demo-output: the capture, the server's copy, the menu as text and PNG.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
devstack/run.sh install
cmake --preset release -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=OFF -DKAVO_BUILD_APP=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target kavo-meetings

scripts/demo.sh --binary build/release/src/kavo-meetings --out demo-output
