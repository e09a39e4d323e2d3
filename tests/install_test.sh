#!/usr/bin/env bash
# Installs the packages of dist/ (scripts/package.sh) as a user would, with apt-get, in a fresh
# Debian chroot that debootstrap makes from the mirror of this machine's apt sources. There it runs
# the installed program through the demo and the golden cases of tests/cases/, each with the
# case's clock, zone and file times; checks that the manual page renders and that each store
# module loads from its installed path; then purges the packages and checks that nothing of them
# is left. Needs root and the mirror.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d "${TMPDIR:-/var/tmp}/ravu-install.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)) && echo "FAIL: $*"; }
quiet() { "$@" >"$work/log" 2>&1 || { tail -n 30 "$work/log"; exit 1; }; }

sources=$(grep -l -E '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null || true)
mirror=$(cat $sources | sed -n -e 's/^URIs: *\([^ ]*\).*/\1/p' \
    -e 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' | grep -m1 -E '/debian/?$' || true)
[ -n "$mirror" ] || { echo "install: no Debian mirror in this machine's apt sources"; exit 1; }
. /etc/os-release
echo "install: debootstrap $VERSION_CODENAME from $mirror"
quiet nice -n 10 debootstrap --variant=minbase "$VERSION_CODENAME" "$root" "$mirror"
# The machine's own Debian suites (updates, security), which the packages were built against.
rm -f "$root/etc/apt/sources.list"
cp $(grep -l -F "$mirror" $sources) "$root/etc/apt/sources.list.d/"
quiet in_root apt-get update
quiet in_root apt-get install -y --no-install-recommends faketime man-db
mkdir "$root/tmp/dist"
cp dist/*.deb "$root/tmp/dist/"
quiet in_root sh -c 'cd /tmp && apt-get install -y ./dist/*.deb'

cp scripts/demo.sh "$root/tmp/demo.sh"
if in_root env RAVU_PROGRAM=/usr/bin/ravu-calendar bash /tmp/demo.sh >"$work/out" 2>&1 &&
    grep -q '"title":"Dentist (moved)"' "$work/out" && grep -q '"title":"Standup (late)"' "$work/out"
then pass; else fail "demo: $(cat "$work/out")"; fi

# The golden cases as tests/golden_test.cpp runs them in-process: files dated 2026-01-01, the
# clock at 2026-12-07T12:00:00Z, the case's zone; every UUID printed counts as <uuid>.
same() {  # same EXPECTED ACTUAL
    python3 -c 'import json, re, sys
uuid = "[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}"
actual = json.loads(re.sub(uuid, "<uuid>", open(sys.argv[2]).read()))
sys.exit(json.load(open(sys.argv[1])) != actual)' "$1" "$2" 2>/dev/null
}
at() {  # at ZONE WORD REQUEST: the installed program on /tmp/case/store
    find "$root/tmp/case" -exec touch -h -d 2026-01-01T00:00:00Z {} +
    in_root env TZ="$1" RAVU_CALENDAR_STORE=/tmp/case/store NO_FAKE_STAT=1 FAKETIME_FMT=%s \
        faketime -f "$(date -d 2026-12-07T12:00:00Z +%s)" /usr/bin/ravu-calendar "$2" <"$3" \
        >"$work/out" 2>"$work/err"
}
for folder in tests/cases/{apply,calendars,permission,snapshot,status}/*; do
    zone=UTC
    [ -f "$folder/zone" ] && zone=$(tr -d '[:space:]' <"$folder/zone")
    request=$folder/request.json
    [ -f "$request" ] || request=/dev/null
    rm -rf "$root/tmp/case"
    mkdir "$root/tmp/case"
    [ -d "$folder/store" ] && cp -r "$folder/store" "$root/tmp/case/store"
    if at "$zone" "$(basename "$(dirname "$folder")")" "$request" &&
        same "$folder/expected.json" "$work/out" &&
        { [ ! -f "$folder/stderr.txt" ] || cmp -s "$folder/stderr.txt" "$work/err"; } &&
        { [ ! -f "$folder/after.json" ] || { at "$zone" snapshot "$folder/after-request.json" &&
            same "$folder/after.json" "$work/out"; }; }
    then pass; else fail "$folder: $(cat "$work/out" "$work/err")"; fi
done

if in_root man --warnings ravu-calendar >"$work/out" 2>"$work/err" && [ ! -s "$work/err" ] &&
    grep -q RAVU_CALENDAR_STORE "$work/out"
then pass; else fail "man ravu-calendar: $(cat "$work/err")"; fi

# Each module from its installed path: the bus is gone, so the store answers false, and the
# program says nothing of a module it cannot load.
for deb in dist/ravu-calendar-*.deb; do
    package=$(dpkg-deb -f "$deb" Package)
    case $package in
        ravu-calendar-evolution) backend=evolution-data-server ;;
        *) backend=${package#ravu-calendar-} ;;
    esac
    module=$(in_root dpkg -L "$package" | grep '\.so$')
    if in_root env RAVU_CALENDAR_BACKEND="$backend" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
        LD_DEBUG=files timeout 60 /usr/bin/ravu-calendar status >"$work/out" 2>"$work/err" &&
        grep -q "file=$module \[0\];  dynamically loaded" "$work/err" &&
        ! grep -q 'cannot be loaded' "$work/err" && grep -qx '{"granted":false}' "$work/out"
    then pass; else fail "$package: $(grep -v '^ *[0-9]*:' "$work/err")"; fi
done

# Nothing of the packages is left: no file they installed, nothing named after them anywhere
# (dpkg's own records included) but in man-db's cache of rendered pages, which its daily job
# expires.
packages=$(for deb in dist/*.deb; do dpkg-deb -f "$deb" Package; done)
ours=$(for package in $packages; do in_root dpkg -L "$package"; done)
quiet in_root apt-get purge -y --autoremove $packages
left=$(find "$root" \( -path "$root/tmp" -o -path "$root/var/cache/man" \) -prune \
    -o -name '*ravu*' -print
    for path in $ours; do [ -d "$root$path" ] || [ ! -e "$root$path" ] || echo "$path"; done)
if [ -z "$left" ]; then pass; else fail "left after the purge: $left"; fi

echo "install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
