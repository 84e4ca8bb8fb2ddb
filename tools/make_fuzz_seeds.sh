#!/bin/sh
# Regenerates the committed seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
# tools/make_fuzz_seeds.cpp. Files already in a corpus (regression inputs kept from findings) stay.
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
${CXX:-c++} -std=c++17 -O1 -I. -o "$work/make_fuzz_seeds" tools/make_fuzz_seeds.cpp interop/colmap.cpp \
  -lpng -ljpeg
for target in fuzz_image fuzz_project fuzz_text fuzz_colmap; do
  mkdir -p "fuzz/corpus/$target"
done
"$work/make_fuzz_seeds" fuzz/corpus
