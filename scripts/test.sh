#!/usr/bin/env bash
# Sets up everything and runs every test: the C++ unit, integration and end-to-end tests
# (which start their own PulseAudio, Azurite and dev stack), the dev stack's own tests,
# the ring buffer under ThreadSanitizer, and a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
(cd devstack && npm ci --no-audit --no-fund --loglevel=error)

jobs=$(nproc)

# No folder of src/ includes from a folder above it.
scripts/include-graph >/dev/null || scripts/include-graph

node --test devstack/test/

# The audio path once more with ThreadSanitizer watching: the ring, the mixer, the
# endpoints' audio threads and whole captures; and the application's core and the capture
# delivery, whose uploads, retry waits and sign-in answers cross threads.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target unit_audio unit_endpoints unit_capture unit_app unit_account unit_delivery
ctest --preset tsan -j "$jobs" --no-tests=error \
  -R '^(AudioRing|Mixer|Realtime|CaptureSession|WholeCapture|KavoMeetingsDesktopApp|SessionController|CaptureDelivery)'

# What the system reads from outside (sidecars and WAVE files on disk, server answers)
# under libFuzzer for a short while; a crash fails the run.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for fuzzer in build/fuzz/fuzz/*_fuzz; do
  echo "Fuzzing $(basename "$fuzzer") for 20 s"
  "$fuzzer" -max_total_time=20 -max_len=4096 -artifact_prefix=build/fuzz/ 2>&1 | tail -n 1
done

# The main suite last, so that its summary closes the run.
# The benchmarks are built too, not run, so that they keep building.
cmake --preset debug -DKAVO_BUILD_BENCH=ON >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs" --no-tests=error --timeout 900
