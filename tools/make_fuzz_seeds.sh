#!/bin/sh
# Regenerates the committed seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
# tools/make_fuzz_seeds.cpp (target zel_make_fuzz_seeds). Files already in a corpus (regression
# inputs kept from findings) stay.
set -eu
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build build/release --target zel_make_fuzz_seeds
for target in fuzz_image fuzz_project fuzz_text fuzz_colmap; do
  mkdir -p "fuzz/corpus/$target"
done
build/release/tools/zel_make_fuzz_seeds fuzz/corpus
