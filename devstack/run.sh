#!/usr/bin/env bash
# The Kavo dev stack's one command. Installs the npm dependencies from the lock
# file when they are missing, then:
#   devstack/run.sh [options]      start the stack (options: see --help); the
#                                  stack replaces this shell, so its pid is the
#                                  one to signal
#   devstack/run.sh install        install the dependencies only
#   devstack/run.sh test [args]    run the stack's own tests (node --test)
# Install output goes to stderr: stdout carries only the endpoints line.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
azurite_version="3.37.0"

if ! command -v node >/dev/null 2>&1; then
  echo "devstack: node is not installed (Node.js 20 or newer is needed)" >&2
  exit 1
fi
if ! node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 20 ? 0 : 1)'; then
  echo "devstack: Node.js 20 or newer is needed, found $(node --version)" >&2
  exit 1
fi

installed() {
  [ -f "$here/node_modules/azurite/package.json" ] &&
    [ "$(node -p "require('$here/node_modules/azurite/package.json').version")" = "$azurite_version" ]
}

install() {
  if installed; then return 0; fi
  echo "devstack: installing npm dependencies in $here" >&2
  # One install at a time when several stacks start together.
  exec 9>"$here/.install.lock"
  if command -v flock >/dev/null 2>&1; then flock 9; fi
  if ! installed; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error) 1>&2
  fi
  exec 9>&-
}

case "${1:-}" in
  install)
    install
    ;;
  test)
    shift
    install
    cd "$here"
    exec node --test "$@" test/
    ;;
  *)
    install
    exec node "$here/bin/devstack.js" "$@"
    ;;
esac
