#!/bin/sh
# Installs the Debian packages one make target needs, only those missing.
#   install-deps.sh run    the gateway's own build (make run)
#   install-deps.sh test   the test build: the gateway, tests, benchmarks and
#                          the fuzz targets' seed replays (make test, asan, tsan, bench)
#   install-deps.sh fuzz   the libFuzzer build (make fuzz)
set -e
RUN="cmake make g++
libboost-dev libboost-log-dev libboost-thread-dev libboost-system-dev
libboost-date-time-dev libboost-regex-dev libboost-filesystem-dev
libssl-dev libexpat1-dev librapidxml-dev"
TEST="$RUN pkg-config libboost-random-dev openssl
libgtest-dev libgmock-dev libbenchmark-dev python3"
FUZZ="$RUN clang libclang-rt-14-dev"

case "${1:-test}" in
    run) PACKAGES=$RUN ;;
    test) PACKAGES=$TEST ;;
    fuzz) PACKAGES=$FUZZ ;;
    *) echo "usage: $0 run|test|fuzz" >&2; exit 2 ;;
esac

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
