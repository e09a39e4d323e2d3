#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs.
#   scripts/setup.sh              what the program and its directory store need: the demo's set-up
#   scripts/setup.sh --services   also the test and benchmark tools, and the desktops' calendar
#                                 services the tests run against: evolution-data-server, and
#                                 Akonadi with its resources (about 550 MB more)
#   scripts/setup.sh package      also the tools of the package route: scripts/package.sh and
#                                 tests/install_test.sh (the two words may be given together)
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libical-dev nlohmann-json3-dev libhowardhinnant-date-dev tzdata
)
for word in "$@"; do
    case "$word" in
    --services)
        packages+=(
            libgtest-dev libgmock-dev
            clang libclang-rt-14-dev clang-format
            khal python3-icalendar python3-dateutil python3-radicale python3-recurring-ical-events
            vdirsyncer strace time curl python3-jsonschema
            evolution-data-server libecal2.0-dev dbus libdbus-1-dev
            akonadi-server akonadi-backend-sqlite libqt5sql5-sqlite libkf5akonadi-dev qtbase5-dev
            kdepim-runtime
        )
        ;;
    package) packages+=(debhelper lintian debootstrap) ;;
    esac
done

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
