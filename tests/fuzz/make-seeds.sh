#!/usr/bin/env bash
# Writes the seed corpora of the decoder fuzz targets into corpus/. The seeds
# are committed; run this again only to change them.
#
# Usage: tests/fuzz/make-seeds.sh [KALD]
#   KALD: the kald tool; when given, one frame of the test scene encoded by
#         the simulated camera is added for each size.
#
# Every seed starts with the target's selector byte (see the targets).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
kald="${1:-}"
large="$here/corpus/fuzz_decompress_large"
small="$here/corpus/fuzz_decompress_small"
mkdir -p "$large" "$small"

# A bit stream under construction, most significant bit first.
bytes=()
bitpos=0

stream_reset() {
    bytes=()
    bitpos=0
}

# put_bits VALUE COUNT: appends the COUNT low bits of VALUE.
put_bits() {
    local value=$1 count=$2 i
    for ((i = count - 1; i >= 0; i--)); do
        if (((value >> i) & 1)); then
            bytes[bitpos >> 3]=$((${bytes[bitpos >> 3]:-0} | (0x80 >> (bitpos & 7))))
        fi
        bitpos=$((bitpos + 1))
    done
}

put_zeros() {
    bitpos=$((bitpos + $1))
}

# put_byte_run VALUE COUNT: appends COUNT bytes of VALUE (byte aligned).
put_byte_run() {
    local i
    for ((i = 0; i < $2; i++)); do put_bits "$1" 8; done
}

# stream_write FILE: writes the stream, zero-padded to a whole byte.
stream_write() {
    local n=$(((bitpos + 7) / 8)) i out="" hex
    for ((i = 0; i < n; i++)); do
        printf -v hex '\\x%02x' "${bytes[i]:-0}"
        out+=$hex
        if ((${#out} >= 4096)); then
            printf "$out"
            out=""
        fi
    done
    printf "$out"
}

# large_frame SELECTOR WIDTH HEIGHT KIND FILE
#   KIND zero:    every block predictive with all-zero residuals
#   KIND level:   every block a level block of code 3
#   KIND invalid: the first block holds the invalid code
#   KIND nomark:  like zero, but the end marker is wrong
large_frame() {
    local selector=$1 width=$2 height=$3 kind=$4 file=$5
    local blocks=$((width / 16)) r j i
    stream_reset
    put_bits "$selector" 8
    put_zeros $((16 * 8))              # frame header
    for ((i = 0; i < 2 * width; i++)); do # rows 0 and 1: a ramp
        put_bits $(((i * 5) & 0xFF)) 8
    done
    for ((r = 2; r < height; r++)); do
        for ((j = 0; j < blocks; j++)); do
            local pixels=16
            if [ "$kind" = level ]; then put_bits 1 1; else put_bits 0 1; fi
            if ((j == 0)); then
                put_bits $(((r * 7) & 0xFF)) 8
                put_bits $(((r * 11) & 0xFF)) 8
                pixels=14
            fi
            case $kind in
                level) for ((i = 0; i < pixels; i++)); do put_bits 3 4; done ;;
                invalid)
                    if ((r == 2 && j == 0)); then
                        put_bits 0x90 8 # 100 10000
                        pixels=$((pixels - 1))
                    fi
                    put_zeros "$pixels"
                    ;;
                *) put_zeros "$pixels" ;;
            esac
        done
    done
    if [ "$kind" = nomark ]; then put_bits 0x91 8; else put_bits 0x90 8; fi
    stream_write >"$file"
}

# small_frame SELECTOR WIDTH HEIGHT KIND FILE
#   KIND zero:  all samples zero (the picture is the dither alone)
#   KIND ramp:  samples counting up
#   KIND short: the header and a few samples only
small_frame() {
    local selector=$1 width=$2 height=$3 kind=$4 file=$5
    local samples=$((width * height * 3 / 2)) i
    stream_reset
    put_bits "$selector" 8
    put_zeros $((16 * 8))
    case $kind in
        zero) put_zeros $((samples * 6)) ;;
        ramp) for ((i = 0; i < samples; i++)); do put_bits $((i & 63)) 6; done ;;
        short) for ((i = 0; i < 200; i++)); do put_bits $(((i * 13) & 63)) 6; done ;;
    esac
    stream_write >"$file"
}

large_frame 0x00 320 240 zero "$large/zero-320x240"
large_frame 0x03 352 288 zero "$large/zero-352x288-rev2"
large_frame 0x02 320 240 level "$large/level-320x240-rev2"
large_frame 0x01 352 288 invalid "$large/invalid-code-352x288"
large_frame 0x00 320 240 nomark "$large/no-marker-320x240"

small_frame 0x00 160 120 zero "$small/zero-160x120"
small_frame 0x07 176 144 ramp "$small/ramp-176x144-phase3"
small_frame 0x01 176 144 short "$small/short-176x144"

if [ -n "$kald" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    encode() { # SELECTOR SIZE CORPUS
        "$kald" encode --size "$2" --scene default "$work/frame.bin" >/dev/null
        { printf "\\x$1"; cat "$work/frame.bin"; } >"$3/scene-$2"
    }
    encode 01 352x288 "$large"
    encode 00 320x240 "$large"
    encode 01 176x144 "$small"
    encode 02 160x120 "$small"
fi

ls -l "$large" "$small"
