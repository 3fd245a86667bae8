#!/usr/bin/env bash
# Hashes a few labelled example inputs with each of the four hashers, through
# the command line. The first run creates .venv/ and builds the package into it
# (a few minutes); later runs rebuild only when the sources have changed.
set -euo pipefail
source "$(dirname "$0")/env.sh"
ensure_installed

work=$(mktemp -d "${TMPDIR:-/tmp}/tamarind-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# The file names are the labels the output shows.
printf 'abc' >abc.txt
: >empty.bin
head -c 32 /dev/zero >zeros-32.bin
printf 'The quick brown fox' >fox.txt  # 19 bytes: within every capacity below
inputs=(abc.txt empty.bin zeros-32.bin fox.txt)

tamarind() { "$py" -m tamarind "$@"; }

say "== zcash: Zcash Sapling Pedersen hash (Jubjub), default personalization Zcash_PH"
tamarind zcash "${inputs[@]}"
say "== zcash --personalization Tamarind: the same construction with other base points"
tamarind zcash --personalization Tamarind "${inputs[@]}"
say "== circom: circom / iden3 Pedersen hash (Baby Jubjub), the packed point"
tamarind circom "${inputs[@]}"
say "== babyjubjub 4 64: unsigned 4 x 64-bit windows over Baby Jubjub (inputs up to 32 bytes)"
tamarind babyjubjub 4 64 "${inputs[@]}"
say "== bowe-hopwood 4 63: signed 3-bit chunks over Jubjub (inputs up to 94 bytes)"
tamarind bowe-hopwood 4 63 "${inputs[@]}"
say "== --hex: bytes given as hex digits (616263 is abc)"
tamarind zcash --hex 616263

say "== zcash --check: the digests above, verified as sha256sum -c does"
tamarind zcash "${inputs[@]}" >zcash.sums
tamarind zcash --check zcash.sums
