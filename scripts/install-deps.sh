#!/bin/sh
# Installs the Debian packages the build needs, only those that are missing.
set -e
PACKAGES="cmake make g++ pkg-config
libboost-dev libboost-log-dev libboost-thread-dev libboost-system-dev
libboost-date-time-dev libboost-regex-dev libboost-filesystem-dev libboost-random-dev
libssl-dev openssl libexpat1-dev librapidxml-dev
libgtest-dev libgmock-dev libbenchmark-dev
clang libclang-rt-14-dev python3"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "need root (or sudo) to install:$missing" >&2; exit 1; }
    SUDO=sudo
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
