#!/usr/bin/env bash
# The private world from a checkout inside the home folder: the checkout stays reachable at its
# own path, and the tool inside still sees an empty home of its own. Runs inside
# scripts/private-session, so the home folder it copies a checkout into is a throw-away one.
#   tests/private_world_test.sh TOOL
set -euo pipefail
[ -n "${SANDREL_SCRATCH:-}" ] || { echo "run inside scripts/private-session" >&2; exit 2; }
checkout=$HOME/checkout
mkdir -p "$checkout/scripts" "$checkout/build"
cp "$(dirname "$0")/../scripts/private-session" "$checkout/scripts/"
cp "$1" "$checkout/build/sandrel-adobe-auth"
cd "$checkout"
answer=$(printf '{"host":"AEFT","op":"read"}' | scripts/private-session "$checkout/build/sandrel-adobe-auth")
[ "$answer" = '{"ok":true,"record":null}' ] || { echo "answered: $answer"; exit 1; }
[ ! -e "$HOME/Library" ] || { echo "the lock folder landed outside the inner world's home"; exit 1; }
echo "private world from a checkout in the home folder: 1 passed, 0 failed"
