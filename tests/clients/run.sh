#!/usr/bin/env bash
# Runs suite.js against a fresh gce-emulator with Google's Node.js client
# libraries at the versions pinned in package-lock.json.
#   run.sh GCE_EMULATOR SOURCE_DIR WORK_DIR
# The libraries are installed with `npm ci` into WORK_DIR (the build tree),
# again only when the lock file changed. Exits 77 (reported as skipped) when
# Node.js or npm is missing or the npm registry cannot be reached.
set -euo pipefail
emulator=$1 src=$2 work=$3
skip() {
    echo "clients: skipped ($1)"
    exit 77
}
command -v node >/dev/null 2>&1 || skip "Node.js not found"
command -v npm >/dev/null 2>&1 || skip "npm not found"
major=$(node -p 'process.versions.node.split(".")[0]')
[ "$major" -ge 18 ] || skip "Node.js $major is older than 18"

mkdir -p "$work"
stamp="$work/node_modules/.installed-lock.json"
if ! cmp -s "$src/package-lock.json" "$stamp" 2>/dev/null; then
    cp "$src/package.json" "$src/package-lock.json" "$work/"
    echo "clients: installing the pinned client libraries into $work (npm ci)"
    if ! (cd "$work" && npm ci --no-audit --no-fund --loglevel=error >npm.log 2>&1); then
        tail -5 "$work/npm.log"
        skip "npm ci failed, see $work/npm.log"
    fi
    cp "$src/package-lock.json" "$stamp"
fi
cd "$work"
NODE_PATH="$work/node_modules" exec node --no-warnings "$src/suite.js" "$emulator"
