#!/bin/sh
# Builds everything and runs every test: the QtTest suites, the end-to-end
# runs under Xvfb, the suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer (the fuzzer, sanitized already, and the end-to-end runs
# are left out of that pass), then the Debian package on a clean system
# (tools/check-package.sh), last as it needs root and Debian's mirror.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/install-deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)

# A suite whose packages are missing stops the configure instead of vanishing from the count.
all=-DKERNO_REQUIRE_ALL_TESTS=ON
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$all" >/dev/null
cmake --build "$top/build" -j "$jobs"
(cd "$top/build" && ctest --output-on-failure -j "$jobs")

cmake -S "$top" -B "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKERNO_SANITIZE=ON "$all" >/dev/null
cmake --build "$top/build-asan" -j "$jobs"
(cd "$top/build-asan" && ctest --output-on-failure -j "$jobs" -LE "no-sanitizer|fuzz")

# The package on a clean Debian 12 root; it needs root for debootstrap and chroot.
if [ "$(id -u)" = 0 ]; then "$top/tools/check-package.sh"; else sudo "$top/tools/check-package.sh"; fi
