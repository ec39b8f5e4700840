#!/usr/bin/env bash
# Builds arb2 and runs the main job on the bundled High School and Beyond
# example: build the MDM file from the ASCII data, then fit the
# intercepts- and slopes-as-outcomes model with its graph data file, and
# draw the pictures of the fit from it. Output goes to example-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARB2_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target arb2 arb2-graph
rm -rf example-run && mkdir example-run
cp tests/data/hsb/hsb1.dat tests/data/hsb/hsb2.dat tests/data/hsb/hsb.mdmt tests/data/hsb/hsb_full_reml.cmd example-run/
cd example-run
echo "GRAPHGAMMAS:hsb.grf" >>hsb_full_reml.cmd
../build/arb2 -r hsb.mdmt
../build/arb2 hsb.mdm hsb_full_reml.cmd
../build/arb2-graph hsb.grf .
echo "Report: example-run/$(grep -i '^OUTPUT:' hsb_full_reml.cmd | cut -d: -f2)"
echo "Pictures: example-run/lines.svg, example-run/caterpillar.svg, example-run/qq.svg"
