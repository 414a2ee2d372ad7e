#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the application icon's PNG sizes from packaging/icons/vexa-test.svg.
# Uses rsvg-convert (Debian: librsvg2-bin); the PNGs are committed so a build
# never needs it. Run again after editing the SVG.
set -euo pipefail
cd "$(dirname "$0")/icons"
command -v rsvg-convert >/dev/null || { echo "render-icons: install librsvg2-bin for rsvg-convert" >&2; exit 1; }
for size in 16 32 48 64 128 256; do
    mkdir -p "hicolor/${size}x${size}"
    rsvg-convert --width "$size" --height "$size" --format png \
        --output "hicolor/${size}x${size}/vexa-test.png" vexa-test.svg
    echo "render-icons: hicolor/${size}x${size}/vexa-test.png"
done
