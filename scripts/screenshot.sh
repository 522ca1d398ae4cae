#!/usr/bin/env bash
# Makes the README's picture, docs/screenshot.png: the host windowed under
# Wine, headless, with the stand-in control painted in its window.
set -euo pipefail
cd "$(dirname "$0")/.."
DEMO_HEADLESS=1 DEMO_CROP=1 DEMO_PNG=docs/screenshot.png DEMO_LOG=${BUILD_DIR:-build}/screenshot.log \
    scripts/run.sh scripts/screenshot.swf.txt
