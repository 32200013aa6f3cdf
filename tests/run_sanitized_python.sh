#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer (clang-19)
# into their own venv and runs the whole pytest suite against them, with the ASan runtime
# preloaded into every interpreter the tests start.
#   usage: tests/run_sanitized_python.sh [PYTHON] [PYTEST ARGUMENTS...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
shift || true
# Its environment lives with the test command's, outside the checkout.
venv=${KESTRIX_TEST_ENVS:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrix-evm}/venv-sanitized
mkdir -p "$(dirname "$venv")"
logs=$PWD/build/sanitized-logs
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet -r tests/requirements.txt
[ ! -f tests/requirements-full.txt ] || "$venv/bin/python" -m pip install --quiet -r tests/requirements-full.txt
CC=clang-19 CXX=clang++-19 "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps \
    -C build-dir=build/sanitized-wheel -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.KESTRIX_SANITIZE=address,undefined .

rm -rf "$logs" && mkdir -p "$logs"
# Reports go to files, one per process, so that tests reading a child's stderr are undisturbed.
# Leaks are reported without failing the process (exitcode=0) and judged below: CPython is not
# built with ASan and leaves memory behind at exit, as do some test dependencies.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=$logs/asan
export LSAN_OPTIONS=exitcode=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan
# pymalloc would hide small Python objects from ASan; plain malloc shows every one of them.
export PYTHONMALLOC=malloc
# pycryptodome loads its modules with RTLD_DEEPBIND when cffi is installed, which the sanitizer
# runtime refuses; its plain loading works.
export PYCRYPTODOME_DISABLE_DEEPBIND=1
status=0
LD_PRELOAD=$(clang++-19 -print-file-name=libclang_rt.asan-x86_64.so) \
    "$venv/bin/pytest" -q -rs -p no:cacheprovider "$@" tests/python tests/tools || status=$?

# Any sanitizer error fails the run. A leak fails it when its allocation stack passes through
# the project's modules or sources; CPython's and third parties' own leaks at exit are left alone.
ours='/kestrix\.cpython-|/kestrix_tools/_native|/src/(core|abi|evm|python|tools)/'
shopt -s nullglob
for log in "$logs"/*; do
    if grep -qE 'ERROR: AddressSanitizer|runtime error:' "$log" ||
        awk -v ours="$ours" 'BEGIN { RS = "" } /(Direct|Indirect) leak/ && $0 ~ ours { found = 1 }
                             END { exit !found }' "$log"; then
        echo "== sanitizer report: $log"
        cat "$log"
        status=1
    fi
done
exit $status
