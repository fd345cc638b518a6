#!/usr/bin/env bash
# The main job: builds the host tools and captures video from the simulated
# camera through the driver and the host stream class, with kald capture's
# defaults (90 frames of 352x288 at 15 frames/s). Writes out/capture.y4m
# and out/snapshot.png (the last frame); the driver's settings are kept in
# the default registry file (~/.config/kald/registry.reg).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default

kald="$root/build/default/tools/kald/kald"
if [ ! -x "$kald" ]; then
    echo "run.sh: the build did not produce $kald" >&2
    exit 1
fi

mkdir -p out
"$kald" capture --out-dir out

echo
echo "Video:     $root/out/capture.y4m (play it with: ffplay out/capture.y4m)"
echo "Snapshot:  $root/out/snapshot.png"
