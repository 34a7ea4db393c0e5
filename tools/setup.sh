#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# As root it runs apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libbenchmark-dev octave octave-dev octave-parallel
          clang libclang-rt-dev valgrind g++-mingw-w64-x86-64-posix wine64 wine
          ninja-build python3-dev python3-venv python3-setuptools python3-wheel python3-numpy
          python3-pytest python3-hypothesis "$@")

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "setup: every package needed is installed"
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages; install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
