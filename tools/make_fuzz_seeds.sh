#!/bin/sh
# Regenerates the committed seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
# tools/make_fuzz_seeds.cpp (target zel_make_fuzz_seeds). Files already in a corpus (regression
# inputs kept from findings) stay.
set -eu
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
# The seed maker exists only in a build with both PNG and JPEG (it writes seeds of each).
if ! cmake --build build/release --target help | grep -q zel_make_fuzz_seeds; then
  echo "ERROR: the seed maker needs PNG and JPEG support (install libpng and libjpeg)" >&2
  exit 1
fi
cmake --build build/release --target zel_make_fuzz_seeds
for target in fuzz_image fuzz_project fuzz_text fuzz_colmap; do
  mkdir -p "fuzz/corpus/$target"
done
build/release/tools/zel_make_fuzz_seeds fuzz/corpus
