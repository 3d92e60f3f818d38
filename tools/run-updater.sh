#!/bin/sh
# Runs a whole update against the virtual speaker.
#
# On a desktop (DISPLAY set) it opens the updater's window; press Ready.
# Without a display it runs under Xvfb, presses Ready itself once the button
# is there, saves a screenshot of each page it passes through into a folder
# that it names, and exits 0 only when the done page is reached (1 otherwise,
# after printing the failure page's text).
#
# Pages are told apart by the lines that the updater writes into its support
# log when it shows one (tools/updater_driver.py, Updater.page()).
#
# Variables of this script (the updater itself reads none of its own):
#   KERNO_BUILD_DIR        build directory (default: build/ at the top of the tree)
#   KERNO_SHOTS_DIR        screenshot folder without a display (default: a new one in /tmp)
#   KERNO_RUN_TIMEOUT      seconds a run without a display may take (default 180)
#   KERNO_VIRTUAL_SPEAKER  the virtual speaker's settings, passed on unchanged
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KERNO_BUILD_DIR:-$top/build}

"$top/tools/install-deps.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
    --target kerno-tindal2-update hiddfu_virtual

updater=$build/kerno-tindal2-update
speaker_dir=$build/virtual-speaker
[ -f "$speaker_dir/libHidDfu.so" ] || { echo "no virtual speaker in $speaker_dir" >&2; exit 1; }

if [ -n "${DISPLAY:-}" ]; then
    # The virtual speaker comes first in the library search.
    LD_LIBRARY_PATH="$speaker_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" exec "$updater"
fi

shots=${KERNO_SHOTS_DIR:-$(mktemp -d /tmp/kerno-run-XXXXXX)}
echo "Screenshots: $shots"
set +e
# A start number of our own keeps clear of other xvfb-run users on the machine;
# -noreset keeps the server up between the driver's short-lived X clients.
xvfb-run -a -n $((100 + $$ % 400)) -s "-screen 0 1024x768x24 -noreset" \
    python3 "$top/tools/updater_driver.py" --binary "$updater" --library-dir "$speaker_dir" \
    --shots "$shots" --timeout "${KERNO_RUN_TIMEOUT:-180}" drive
status=$?
set -e
exit $status
