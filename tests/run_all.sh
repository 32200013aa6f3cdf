#!/usr/bin/env bash
# Runs the whole test suite: the C++ unit tests (ctest), again under AddressSanitizer and
# UndefinedBehaviorSanitizer when clang++-19 is installed, then the Python tests against the
# package as pip installs it. Installs the test tools it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

python3 -m pip install --quiet -r tests/requirements.txt
if ! [ -f /usr/include/gtest/gtest.h ]; then
    # GoogleTest comes from Debian's packages; install it when we can.
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev
fi

jobs=$(nproc)
run_ctest() { # build dir, extra cmake arguments...
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON \
        -DKESTRIX_BUILD_PYTHON=OFF "$@" >/dev/null
    cmake --build "$dir" --parallel "$jobs"
    ctest --test-dir "$dir" --output-on-failure --parallel "$jobs"
}

echo "== C++ tests (g++)"
run_ctest build/tests
if command -v clang++-19 >/dev/null; then
    echo "== C++ tests (clang++-19, address and undefined-behaviour sanitizers)"
    run_ctest build/asan -DCMAKE_CXX_COMPILER=clang++-19 -DKESTRIX_SANITIZE=address,undefined
else
    echo "== clang++-19 not installed: sanitizer run skipped"
fi

echo "== Python tests (installed package)"
python3 -m pip install --quiet .
# The repository holds no importable kestrix, so the tests import the installed module.
python3 -m pytest -q -p no:cacheprovider tests/python tests/tools
