#!/usr/bin/env bash
# Runs the whole test suite: the C++ unit tests (ctest), then the Python tests against the
# package as pip installs it. Installs the test tools it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet --disable-pip-version-check -r tests/requirements.txt
if ! [ -f /usr/include/gtest/gtest.h ]; then
    # GoogleTest comes from Debian's packages; install it when we can.
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev
fi

jobs=$(nproc)
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON \
    -DKESTRIX_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests --parallel "$jobs"
ctest --test-dir build/tests --output-on-failure --parallel "$jobs"

python3 -m pip install --quiet --disable-pip-version-check .
# Run from the tests folder so the import finds the installed module, never a build tree.
python3 -m pytest -q -p no:cacheprovider tests/python
