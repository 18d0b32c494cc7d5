#!/bin/sh
# Installs everything the build and the tests need on a Debian 12 machine.
# Run as root; safe to run again.
set -eu
packages="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev googletest libsystemd-dev libssl-dev libcli11-dev nlohmann-json3-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libwine-dev msitools wixl
  python3 python3-pyvisa-py iproute2 util-linux procps
  dpkg-dev fakeroot lintian help2man man-db groff-base gzip init-system-helpers
  ccache lld ansible-core python3-voluptuous python3-pycodestyle pylint yamllint
  libboost-dev chromium chromium-driver python3-selenium"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
