#!/usr/bin/env bash
# Installs tamarind if needed, then hashes real inputs with each construction
# through its command line (python3 -m tamarind: no PATH set-up needed).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! python3 -c "import _tamarind, tamarind" 2>/dev/null; then
  python3 -m pip install -q --disable-pip-version-check .
fi
printf 'abc' > /tmp/tamarind-abc.txt
python3 -m tamarind zcash /tmp/tamarind-abc.txt
python3 -m tamarind zcash --personalization Zcash_PH --hex 616263
python3 -m tamarind circom /tmp/tamarind-abc.txt
python3 -m tamarind babyjubjub 4 64 /tmp/tamarind-abc.txt
python3 -m tamarind bowe-hopwood 4 63 /tmp/tamarind-abc.txt
