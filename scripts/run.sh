#!/usr/bin/env bash
# The main job: builds the host tools and runs the simulated camera's test
# scene through them. Writes out/scene.bin (a 352x288 compacted frame as the
# camera sends it) and out/scene-preview.png (that frame decoded).
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
"$kald" encode --size 352x288 --scene default out/scene.bin
"$kald" inspect --size 352x288 out/scene.bin --png out/scene-preview.png

echo
echo "Encoded frame:  $root/out/scene.bin ($(stat -c %s out/scene.bin) bytes)"
echo "Decoded frame:  $root/out/scene-preview.png"
