#!/bin/sh
# Installs the Debian packages of tools/debian-packages.txt that are missing.
# Runs as root, or through sudo when there is one.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
missing=$(grep -v -e '^#' -e '^$' "$here/debian-packages.txt" | while read -r pkg; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'install ok installed' || echo "$pkg"
done)
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
echo "Installing: $missing"
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
