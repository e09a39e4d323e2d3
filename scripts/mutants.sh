#!/usr/bin/env bash
# Applies deliberate faults one at a time and tells whether the test suite notices each.
#
#   scripts/mutants.sh [options] [PATCH_DIR]
#
#   PATCH_DIR      folder of *.patch files (made with `git diff`, applied with `patch -p1`);
#                  default tests/mutants/after of the repository this script lives in
#   --rev REV      test the tree of commit REV (exported with `git archive`) instead of the
#                  working tree of the repository
#   --repo DIR     the repository to take the tree from (default: the one holding this script)
#   --runner R     "binary" (default: the test program in one process, stopping at the first
#                  failure) or "ctest" (ctest -j2 --timeout 120, every test its own process)
#   --keep         leave the scratch folder (tree, build, one log per fault) in place
#
# The tree is copied once to a scratch folder and built once; each fault is then applied,
# rebuilt incrementally, tested and reversed. Each fault prints one line:
#   caught  NN-name   the suite failed
#   missed  NN-name   the suite passed with the fault in place
#   broken  NN-name   the patch did not apply or the build failed
# and a count ends the run. Exit status 0 when nothing was missed or broken, 1 otherwise.
#
# Slow (a build and a suite run per fault) and kept out of CI. The repository it is run from
# is only read. Builds and tests run under `nice` with at most two jobs.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
repo=$here
rev=""
runner=binary
keep=0
patches=""

usage() {
    sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        --rev) rev=${2:?--rev needs a commit}; shift 2 ;;
        --rev=*) rev=${1#--rev=}; shift ;;
        --repo) repo=$(cd "${2:?--repo needs a folder}" && pwd); shift 2 ;;
        --runner) runner=${2:?--runner needs binary or ctest}; shift 2 ;;
        --keep) keep=1; shift ;;
        -h|--help) usage ;;
        -*) echo "mutants.sh: unknown option $1" >&2; usage ;;
        *) [ -z "$patches" ] || usage; patches=$1; shift ;;
    esac
done
case "$runner" in binary|ctest) ;; *) usage ;; esac

# The patch folder: as given from the current folder, else inside the repository.
patches=${patches:-tests/mutants/after}
if [ -d "$patches" ]; then
    patches=$(cd "$patches" && pwd)
elif [ -d "$repo/$patches" ]; then
    patches=$(cd "$repo/$patches" && pwd)
else
    echo "mutants.sh: no folder of patches at $patches" >&2
    exit 2
fi
shopt -s nullglob
list=("$patches"/*.patch)
shopt -u nullglob
if [ ${#list[@]} -eq 0 ]; then
    echo "mutants.sh: no *.patch files in $patches" >&2
    exit 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ravu-mutants.XXXXXX")
# Some tests run the built program as another user (nobody), who must reach it.
chmod 755 "$scratch"
if [ "$keep" -eq 1 ]; then
    echo "scratch folder: $scratch" >&2
else
    trap 'rm -rf "$scratch"' EXIT
fi
src=$scratch/src
build=$scratch/build
logs=$scratch/logs
mkdir -p "$src" "$logs"

# One copy of the tree. Either way only git reads the repository: nothing there is written.
if [ -n "$rev" ]; then
    git -C "$repo" archive --format=tar "$rev" | tar -x -C "$src"
    label="commit $(git -C "$repo" rev-parse --short "$rev")"
else
    git -C "$repo" ls-files -z --cached --others --exclude-standard |
        (cd "$repo" && tar --null --no-recursion --ignore-failed-read -T - -cf - 2>/dev/null) | tar -x -C "$src"
    label="working tree of $repo"
fi

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
quiet() { "$@" >>"$log" 2>&1; }

log=$logs/baseline.log
echo "building $label in $scratch" >&2
if ! quiet nice -n 10 cmake -S "$src" -B "$build" "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVU_TESTS=ON ||
   ! quiet nice -n 10 cmake --build "$build" -j2; then
    echo "mutants.sh: the unchanged tree does not build; see $log" >&2
    keep=1; trap - EXIT
    exit 2
fi

suite() {
    if [ "$runner" = ctest ]; then
        TZ=UTC nice -n 10 ctest --test-dir "$build" -j2 --timeout 120 --stop-on-failure
    else
        # The environment ctest would give every test (tests/CMakeLists.txt), and a bound on a
        # fault that makes the suite hang.
        (cd "$build/tests" &&
            TZ=UTC nice -n 10 timeout -k 10 1200 ./ravu_tests --gtest_fail_fast --gtest_brief=1)
    fi
}

echo "running the suite on the unchanged tree" >&2
if ! quiet suite; then
    echo "mutants.sh: the suite fails without any fault; see $log" >&2
    keep=1; trap - EXIT
    exit 2
fi

caught=0 missed=0 broken=0
for patch in "${list[@]}"; do
    name=$(basename "$patch" .patch)
    log=$logs/$name.log
    : >"$log"
    if ! quiet patch -d "$src" -p1 --dry-run -i "$patch" || ! quiet patch -d "$src" -p1 -i "$patch"; then
        echo "broken  $name"
        broken=$((broken + 1))
        continue
    fi
    if ! quiet nice -n 10 cmake --build "$build" -j2; then
        echo "broken  $name"
        broken=$((broken + 1))
    elif quiet suite; then
        echo "missed  $name"
        missed=$((missed + 1))
    else
        echo "caught  $name"
        caught=$((caught + 1))
    fi
    if ! quiet patch -d "$src" -p1 -R -i "$patch"; then
        echo "mutants.sh: could not take $name back out; stopping (see $log)" >&2
        keep=1; trap - EXIT
        exit 2
    fi
done

if [ "$keep" -eq 1 ]; then
    # The tree as it was, so that the kept scratch folder holds a build of the unchanged tree.
    log=$logs/final.log
    quiet nice -n 10 cmake --build "$build" -j2 || true
fi

summary="$caught caught, $missed missed"
[ "$broken" -eq 0 ] || summary+=", $broken broken"
echo "$summary"
[ "$missed" -eq 0 ] && [ "$broken" -eq 0 ]
