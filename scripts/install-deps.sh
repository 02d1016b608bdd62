#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with. Does nothing
# when they are all present already.
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake ninja-build pkg-config ca-certificates
  # test and benchmark frameworks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # libraries of the core and the Linux adapters
  libpulse-dev libsoxr-dev libwebrtc-audio-processing-dev libcurl4-openssl-dev libssl-dev nlohmann-json3-dev
  libfmt-dev libspdlog-dev libcli11-dev
  # the tray application
  qt6-base-dev
  # real peers and signals for the tests and the demo
  pulseaudio pulseaudio-utils sox espeak-ng
  # the same tests on PipeWire, which WirePlumber drives over a private session bus
  pipewire pipewire-pulse wireplumber dbus-daemon
  # fuzzing and sanitizer runtimes
  clang-14 libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# Node.js runs the dev stack and Azurite; Debian's own package brings npm.
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)

if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The dev stack needs Node.js 20 or newer, and Debian 12 packages 18. Where the packaged
# one is older, npm fetches Node.js 20 (the "node" package of the npm registry) into
# /opt/kavo-node and links it ahead of /usr/bin.
if ! node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 20 ? 0 : 1)'; then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo=sudo
  echo "Installing Node.js 20 from npm (found $(node --version))"
  $sudo npm install --prefix /opt/kavo-node --no-audit --no-fund --loglevel=error node@20
  $sudo ln -sf /opt/kavo-node/node_modules/node/bin/node /usr/local/bin/node
  hash -r
  node --version
fi
