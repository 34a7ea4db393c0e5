#!/usr/bin/env bash
# make mutate: plants each fault of tests/mutants.txt, one at a time, in a
# copy of the sources (build-mutate/src), rebuilds the C++ test programs
# there and runs them; a fault is caught when one of them fails, crashes or
# runs out of time. The checkout itself is never written to, so an
# interrupted run leaves it as it was.
#
# Exits non-zero when a fault that is not marked equivalent survives, and
# when a fault no longer fits the code: its text must occur exactly once in
# its file, and the file must still build with the fault in it.
#
#   MUTANTS=file   another list (default tests/mutants.txt)
#   ONLY=word      only the faults whose name contains word
#   TIMEOUT=s      seconds each test program may take (default 120)
#   JOBS=n         build jobs (default 2)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list=${MUTANTS:-$root/tests/mutants.txt}
work=$root/build-mutate
src=$work/src
build=$work/build
jobs=${JOBS:-2}
limit=${TIMEOUT:-120}
programs=(solver_tests gateway_tests alloc_failure_tests)

fail() {
    echo "mutate: $*" >&2
    exit 2
}

# The copy: every file git would see (committed or not, ignored ones left
# out). Only files whose contents differ are copied, so the build stays
# incremental and a fault left behind by an interrupted run is undone.
sync_copy() {
    local file
    (cd "$root" && git ls-files --cached --others --exclude-standard) | while IFS= read -r file; do
        [[ -f $root/$file ]] || continue
        if ! cmp -s "$root/$file" "$src/$file"; then
            mkdir -p "$(dirname "$src/$file")"
            cp "$root/$file" "$src/$file"
        fi
    done
}

build_tests() {
    cmake --build "$build" -j "$jobs" --target "${programs[@]}" >"$work/build.log" 2>&1
}

# Runs every test program; prints what failed (test names, or how a program
# ended) and returns non-zero when anything did.
run_tests() {
    local program status caught=0
    for program in "${programs[@]}"; do
        # (The braces keep bash's own report of a crash out of the output.)
        { env -u TARVENLOCH_STRATEGY -u TARVENLOCH_SCAN_LEVEL timeout -k 10 "$limit" \
            "$build/tests/$program" --gtest_brief=1 >"$work/$program.log" 2>&1; } 2>/dev/null
        status=$?
        ((status == 0)) && continue
        caught=1
        if ((status == 124 || status == 137)); then
            echo "    $program: timed out after ${limit}s"
        elif ((status > 128)); then
            echo "    $program: killed by signal $((status - 128))"
        fi
        sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\)\(, where.*\| (.*\)\?$/    \1/p' \
            "$work/$program.log" | sort -u
    done
    return "$caught"
}

# The list: faults separated by blank lines, each
#   name: what the fault is
#   file (relative to the top folder)
#   - text as it is in the code (on one line, exactly once in the file)
#   + the same text with the fault
#   = why the fault is equivalent (only for those that no input can tell apart)
# Lines starting with # are comments.
names=() files=() finds=() replaces=() reasons=()
parse_list() {
    local line name="" file="" find="" replace="" reason="" have=0 number=0
    finish() {
        ((have)) || return 0
        [[ -n $name && -n $file && -n $find ]] || fail "$list: fault '$name' is incomplete"
        [[ $find != "$replace" ]] || fail "$list: fault '$name' changes nothing"
        names+=("$name") files+=("$file") finds+=("$find") replaces+=("$replace")
        reasons+=("$reason")
        name="" file="" find="" replace="" reason="" have=0
    }
    while IFS= read -r line || [[ -n $line ]]; do
        number=$((number + 1))
        case $line in
            '#'*) ;;
            '') finish ;;
            '- '*) find=${line#- } ;;
            '+ '* | '+') replace=${line#+}; replace=${replace# } ;;
            '= '*) reason=${line#= } ;;
            *:*)
                finish
                name=${line%%:*} have=1
                ;;
            *)
                [[ -z $file ]] || fail "$list:$number: unexpected line: $line"
                file=$line
                ;;
        esac
    done <"$list"
    finish
}

# Writes the file with the fault planted, checking that its text occurs
# exactly once.
plant() {
    local original=$1 find=$2 replace=$3 target=$4 count
    count=$(grep -oF -- "$find" "$original" | wc -l)
    if ((count != 1)); then
        echo "    the text occurs $count times in the file, not once: fix the list"
        return 1
    fi
    local line
    while IFS= read -r line || [[ -n $line ]]; do
        printf '%s\n' "${line/"$find"/"$replace"}"
    done <"$original" >"$target"
}

[[ -f $list ]] || fail "no list of faults at $list"
parse_list
((${#names[@]} > 0)) || fail "$list holds no fault"

start=$SECONDS
mkdir -p "$src" "$build"
sync_copy
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVENLOCH_MATLAB=OFF \
        >"$work/configure.log" 2>&1 || fail "configuring failed: see $work/configure.log"
fi
echo "mutate: building and testing the unchanged copy"
build_tests || fail "the unchanged copy does not build: see $work/build.log"
run_tests && status=0 || status=$?
((status == 0)) || fail "the unchanged copy fails its tests: see $work/*.log"

killed=0 survived=0 equivalent=0 broken=0
survivors=() brokenNames=()
for i in "${!names[@]}"; do
    name=${names[i]} file=${files[i]}
    [[ -n ${ONLY:-} && $name != *"$ONLY"* ]] && continue
    echo "[$((i + 1))/${#names[@]}] $name ($file)"
    [[ -f $src/$file ]] || fail "no file $file for fault $name"
    if ! plant "$root/$file" "${finds[i]}" "${replaces[i]}" "$src/$file"; then
        broken=$((broken + 1)) brokenNames+=("$name")
        cp "$root/$file" "$src/$file"
        continue
    fi
    if ! build_tests; then
        echo "    does not build: fix the list (see $work/build.log)"
        broken=$((broken + 1)) brokenNames+=("$name")
    elif run_tests; then
        if [[ -n ${reasons[i]} ]]; then
            echo "    survives, equivalent: ${reasons[i]}"
            equivalent=$((equivalent + 1))
        else
            echo "    SURVIVES"
            survived=$((survived + 1)) survivors+=("$name")
        fi
    else
        if [[ -n ${reasons[i]} ]]; then
            echo "    caught, though listed as equivalent: the reason is wrong, fix the list"
            broken=$((broken + 1)) brokenNames+=("$name")
        else
            killed=$((killed + 1))
        fi
    fi
    # Put the original back (a fresh time stamp, so the next build recompiles it).
    cp "$root/$file" "$src/$file"
done

tried=$((killed + survived))
echo
echo "mutate: $killed of $tried faults caught ($((tried ? 100 * killed / tried : 0)) %)," \
    "$equivalent equivalent, $broken that no longer fit the code;" \
    "$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
((survived == 0)) || printf 'survivors:\n%s\n' "$(printf '  %s\n' "${survivors[@]}")"
((broken == 0)) || printf 'to fix in the list:\n%s\n' "$(printf '  %s\n' "${brokenNames[@]}")"
((survived == 0 && broken == 0))
