#!/usr/bin/env bash
# Sets up, builds and runs the demo on a throwaway profile.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" release
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/profile" "$scratch/work"
KELVADROME_PROFILE="$scratch/profile" KELVADROME_DIALOGS=none \
  "$top/build/release/kelvadrome-demo" "$scratch/work"
