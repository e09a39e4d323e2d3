#!/usr/bin/env bash
# Builds the Debian packages (the program, and each store module as a package of its own) from
# the working tree into dist/, the source package beside them and the debug symbols in
# dist/debug/, and checks them all with lintian: an error fails, warnings are shown.
# tests/install_test.sh then installs them as a user would: apt-get install ./dist/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --services package
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# dpkg-buildpackage leaves its results beside the source folder and its build in it: build a
# copy of the files git knows or would take (tracked, and new but not ignored).
mkdir "$work/ravu-calendar"
git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -c 2>/dev/null | tar -x -C "$work/ravu-calendar"
(cd "$work" && dpkg-source -b ravu-calendar)
(cd "$work/ravu-calendar" && nice -n 10 dpkg-buildpackage -us -uc -b -j2)

lintian --fail-on error "$work"/*.changes "$work"/*.dsc

rm -rf dist
mkdir -p dist/debug
mv "$work"/*-dbgsym_*.deb dist/debug/
mv "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$work"/*.dsc "$work"/*.tar.* dist/
ls -l dist dist/debug
