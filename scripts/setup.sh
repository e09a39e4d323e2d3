#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and benchmarking need.
#   scripts/setup.sh            the build and the tests
#   scripts/setup.sh package    and the tools of the package route: scripts/package.sh and
#                               tests/install_test.sh
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libical-dev nlohmann-json3-dev libhowardhinnant-date-dev tzdata
    libgtest-dev libgmock-dev
    clang libclang-rt-14-dev clang-format
    khal python3-icalendar python3-dateutil python3-radicale python3-recurring-ical-events vdirsyncer
    strace time curl
    evolution-data-server libecal2.0-dev dbus
    python3-jsonschema
)
if [ "${1:-}" = package ]; then
    packages+=(debhelper lintian debootstrap)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
