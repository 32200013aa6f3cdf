#!/usr/bin/env bash
# Runs the test suite in one of two tiers.
#
#   bash tests/run_all.sh                  quick tier: the C++ tests, then the Python tests on one
#                                          CPython (the first of 3.11, 3.12, 3.13 found) with a
#                                          smaller Decoder differential
#   bash tests/run_all.sh full             full tier (what CI runs): the C++ tests also under
#                                          AddressSanitizer and UndefinedBehaviorSanitizer, the
#                                          Python tests on every CPython 3.11, 3.12 and 3.13 found,
#                                          the sdist check, fuzzing, the sanitized Python tests,
#                                          and the extra tools of tests/requirements-full.txt
#   bash tests/run_all.sh [full] cxx python   only the named stages (names in FULL_STAGES below)
#   KESTRIX_PYTHON_VERSIONS=3.12 bash tests/run_all.sh full python    those versions only
#
# The test environments live outside the checkout, one per CPython version, in
# ${XDG_CACHE_HOME:-~/.cache}/kestrix-evm/ (KESTRIX_TEST_ENVS names another folder); both tiers
# share them. Nothing is installed into a global interpreter. apt-get runs only to install
# GoogleTest when its headers are missing. With CI=true the full tier requires every supported
# CPython version.
#
# A new stage is a function `stage_<name>` named in FULL_STAGES. It runs in a subshell under
# `set -e`; a failing stage is reported and the later stages still run. Helpers for stages: the
# array `found_versions` (CPython versions present), `use_venv VERSION` (sets VENV to that
# version's test environment) and `run_ctest BUILD_DIR CMAKE_ARGS...`.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1

QUICK_STAGES=(cxx python)
FULL_STAGES=(cxx cxx_sanitizers python sdist fuzz python_sanitizers)
SUPPORTED=(3.11 3.12 3.13)
tier=quick
case "${1:-}" in
full | quick) tier=$1; shift ;;
esac
# KESTRIX_PYTHON_VERSIONS="3.11" limits the Python tests to those versions, except under CI.
read -r -a WANTED <<<"${KESTRIX_PYTHON_VERSIONS:-${SUPPORTED[*]}}"
[ "$tier" != full ] || [ "${CI:-}" != true ] || WANTED=("${SUPPORTED[@]}")
ENVS=${KESTRIX_TEST_ENVS:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrix-evm}
jobs=$(nproc)

say() { printf '\n== %s\n' "$*"; }
fail() { printf 'run_all.sh: %s\n' "$*" >&2; exit 1; }

# --- interpreters and their virtual environments ---------------------------------------------

# Prints an interpreter of CPython VERSION: `python3` when it is that version (so whatever the
# caller chose comes first), then `pythonVERSION` on PATH, then pyenv's installations.
find_python() {
    local version=$1 candidate found
    for candidate in python3 "python$version" "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".*/bin/"python$version"; do
        command -v "$candidate" >/dev/null 2>&1 || continue
        # pyenv's shims exist for every version but fail for those not selected; the
        # interpreter's own path is kept, not the shim's.
        found=$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2], sys.executable)' 2>/dev/null) || continue
        if [ "${found%% *}" = "$version" ]; then
            echo "${found#* }"
            return 0
        fi
    done
    return 1
}

declare -A INTERPRETER=()
found_versions=()
for version in "${WANTED[@]}"; do
    if interpreter=$(find_python "$version"); then
        INTERPRETER[$version]=$interpreter
        found_versions+=("$version")
        # The quick tier tests one CPython only, unless versions were named.
        [ "$tier" = full ] || [ -n "${KESTRIX_PYTHON_VERSIONS:-}" ] || break
    elif [ "$tier" = full ] && [ "${CI:-}" = true ]; then
        fail "CPython $version not found; CI runs the suite on ${WANTED[*]}"
    fi
done
[ ${#found_versions[@]} -gt 0 ] || fail "no CPython ${WANTED[*]} found (python3 on PATH is $(python3 -V 2>&1))"

# Sets VENV to the test environment of VERSION, made on first use from its interpreter, with
# tests/requirements.txt installed (and tests/requirements-full.txt in the full tier). An
# environment made from another interpreter is made again; the requirements are installed
# again when the files change.
use_venv() {
    local base=${INTERPRETER[$1]} stamp files=(tests/requirements.txt) file requirements=()
    if [ "$tier" = full ] && [ -f tests/requirements-full.txt ]; then
        files+=(tests/requirements-full.txt)
    fi
    VENV="$ENVS/venv-$1"
    mkdir -p "$ENVS"
    if ! [ -x "$VENV/bin/python" ] || [ "$(cat "$VENV/.base-interpreter" 2>/dev/null)" != "$base" ]; then
        rm -rf "$VENV"
        if ! "$base" -m venv "$VENV"; then
            rm -rf "$VENV"
            fail "$base cannot create a virtual environment; on Debian or Ubuntu install python3-venv (apt-get install python3-venv)"
        fi
        echo "$base" >"$VENV/.base-interpreter"
    fi
    stamp=$(cat "${files[@]}" | cksum)
    if [ "$(cat "$VENV/.requirements-$tier" 2>/dev/null)" != "$stamp" ]; then
        for file in "${files[@]}"; do requirements+=(-r "$file"); done
        "$VENV/bin/python" -m pip install --quiet "${requirements[@]}"
        echo "$stamp" >"$VENV/.requirements-$tier"
    fi
}

# Fails early, with the fix, when VERSION's interpreter has no headers to build the module with.
need_headers() {
    "${INTERPRETER[$1]}" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' ||
        fail "${INTERPRETER[$1]} has no Python.h; on Debian or Ubuntu install python3-dev (apt-get install python3-dev)"
}

# --- stages ----------------------------------------------------------------------------------

need_gtest() {
    [ -f /usr/include/gtest/gtest.h ] && return 0
    # GoogleTest comes from Debian's packages; install it when we can.
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev
}

# Builds the C++ tests in DIR and runs them; the oracle tests use the first test environment's
# interpreter, which has their oracles (pycryptodome, eth-abi).
run_ctest() { # build dir, extra cmake arguments...
    local dir=$1
    shift
    need_gtest
    use_venv "${found_versions[0]}"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON \
        -DKESTRIX_BUILD_PYTHON=OFF -DPython3_EXECUTABLE="$VENV/bin/python" "$@" >/dev/null
    cmake --build "$dir" --parallel "$jobs"
    ctest --test-dir "$dir" --output-on-failure --parallel "$jobs"
}

stage_cxx() {
    say "C++ tests"
    run_ctest build/tests
}

stage_cxx_sanitizers() {
    if ! command -v clang++-19 >/dev/null; then
        say "clang++-19 not installed: sanitizer run skipped"
        return 0
    fi
    say "C++ tests (clang++-19, address and undefined-behaviour sanitizers)"
    run_ctest build/asan -DCMAKE_CXX_COMPILER=clang++-19 -DKESTRIX_SANITIZE=address,undefined
}

# Installs the package into each version's environment and runs the Python tests there. pytest
# runs as the environment's script (not `python -m`), so the checkout is not on sys.path and the
# tests import the installed package. Every version runs even when an earlier one fails.
stage_python() {
    local version definitions failed=()
    for version in "${found_versions[@]}"; do
        say "Python tests on CPython $version (${INTERPRETER[$version]})"
        need_headers "$version"
        use_venv "$version"
        "$VENV/bin/python" -m pip install --quiet .
        # The Decoder differential runs its full 10,000 definitions in the full tier's first
        # version only.
        definitions=1000; [ "$tier" != full ] || [ "$version" != "${found_versions[0]}" ] || definitions=10000
        if ! KESTRIX_DIFFERENTIAL_DEFINITIONS=${KESTRIX_DIFFERENTIAL_DEFINITIONS:-$definitions} \
                "$VENV/bin/pytest" -q -rs -p no:cacheprovider tests/python tests/tools | tee "build/pytest-$version.log"; then
            failed+=("$version")
        fi
    done
    [ ${#failed[@]} -eq 0 ] || fail "Python tests failed on CPython ${failed[*]}"
}

# Builds the sdist, unpacks it and runs the README's install-and-decode command in it as written,
# with Debian's own python3 when the system has one: the sdist carries everything the build
# needs, and the command works without a prepared environment.
stage_sdist() {
    local work=build/sdist-check command python_dir system_version
    say "sdist: build, then the README's install-and-decode command in the unpacked sdist"
    use_venv "${found_versions[0]}"
    rm -rf "$work"
    mkdir -p "$work"
    "$VENV/bin/python" -m build --sdist --outdir "$work" . >/dev/null
    tar -xzf "$work"/kestrix_evm-*.tar.gz -C "$work"
    command=$(awk '/^## Quick start/ { inside = 1 } inside && /^```sh/ { getline; print; exit }' README.md)
    [ -n "$command" ] || fail "README.md has no command under 'Quick start'"
    python_dir=$(dirname "$(command -v python3)")
    system_version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
    if [ -n "$system_version" ] && [[ " ${SUPPORTED[*]} " == *" $system_version "* ]]; then
        python_dir=/usr/bin
    fi
    echo "$ $command    (python3: $python_dir/python3)"
    (cd "$work"/kestrix_evm-*/ && PATH="$python_dir:$PATH" bash -c "$command") | tee "$work/decoded.txt"
    grep -q "'message': 'Ownable: caller is not the owner'" "$work/decoded.txt"
}

# Builds every libFuzzer target and fuzzes each for FUZZ_SECONDS (30) from its seed corpus,
# after replaying the crashers kept in fuzz/regressions/.
stage_fuzz() {
    if ! command -v clang++-19 >/dev/null; then
        say "clang++-19 not installed: fuzzing skipped"
        return 0
    fi
    say "Fuzzing: every libFuzzer target for ${FUZZ_SECONDS:-30} s"
    bash fuzz/run.sh "${FUZZ_SECONDS:-30}"
}

# The whole pytest suite against extension modules built with ASan and UBSan, on the first
# CPython found.
stage_python_sanitizers() {
    if ! command -v clang++-19 >/dev/null; then
        say "clang++-19 not installed: sanitized Python run skipped"
        return 0
    fi
    say "Python tests on CPython ${found_versions[0]} under AddressSanitizer and UndefinedBehaviorSanitizer"
    need_headers "${found_versions[0]}"
    # Spark's JVM is no code of ours, and a JVM started under the preloaded sanitizer runtime can
    # outlive the tests: the Spark recipe runs in the python stage on every CPython instead.
    KESTRIX_TEST_ENVS=$ENVS bash tests/run_sanitized_python.sh "${INTERPRETER[${found_versions[0]}]}" \
        --ignore=tests/tools/test_spark.py
}

# --- main ------------------------------------------------------------------------------------

selected=("$@")
if [ ${#selected[@]} -eq 0 ]; then
    if [ "$tier" = full ]; then selected=("${FULL_STAGES[@]}"); else selected=("${QUICK_STAGES[@]}"); fi
fi
for stage in "${selected[@]}"; do
    [[ " ${FULL_STAGES[*]} " == *" $stage "* ]] || fail "unknown stage '$stage' (stages: ${FULL_STAGES[*]})"
done
say "$tier tier; CPython found: $(for v in "${found_versions[@]}"; do printf '%s=%s ' "$v" "${INTERPRETER[$v]}"; done)"
mkdir -p build
rm -f build/pytest-*.log
summary=() status=0 tier_start=$SECONDS
for stage in "${selected[@]}"; do
    start=$SECONDS
    set +e
    (set -e; "stage_$stage")
    result=$?
    set -e
    [ $result -eq 0 ] && outcome=passed || { outcome=FAILED; status=1; }
    summary+=("$(printf '%-16s %-7s %4ds' "$stage" "$outcome" $((SECONDS - start)))")
done
say "Summary"
printf '%s\n' "${summary[@]}"
printf '%-16s %-7s %4ds\n' "$tier tier" "$([ $status -eq 0 ] && echo passed || echo FAILED)" $((SECONDS - tier_start))
for log in build/pytest-*.log; do
    [ -f "$log" ] || continue
    version=${log#build/pytest-}
    printf 'CPython %-5s %s\n' "${version%.log}" "$(grep -E '(passed|failed|error)' "$log" | tail -n 1)"
done
exit $status
