#!/bin/sh
# Prints where a gateway started on the given configuration file logs and
# which addresses and ports it listens on. A key the file does not set shows
# its default; LogPath then follows TMPDIR.
set -e
conf=${1:?usage: $0 CONFIG-FILE}

# The last line that sets the key wins, as in the gateway; a key starts in
# the first column and is followed by blanks, "=" or both.
value() {
    v=$(sed -n "s/^$1\([[:blank:]]*=[[:blank:]]*\|[[:blank:]]\{1,\}\)\(.\{1,\}\)\$/\2/p" "$conf" | tail -n 1)
    echo "${v:-$2}"
}

log_dir=$(value LogPath "${TMPDIR-/tmp}")
echo "Configuration:       $conf"
echo "Log:                 ${log_dir%/}/VevareviDiravad_<UTC opening time>.log"
control="plain TCP"
if [ -n "$(value TCPControlLinuxExtCert)" ] && [ -n "$(value TCPControlLinuxExtPriv)" ] &&
    [ -n "$(value TCPControlLinuxExtCA)" ]; then
    control=TLS
fi
echo "Control channel:     $(value TCPControlBindIP 127.0.0.1):$(value TCPControlPort 50060) ($control)"
echo "Client signalling:   $(value ExternalBindIP 0.0.0.0):$(value ExternalTCPPort 4172) (TLS)"
echo "Client-side media:   $(value ExternalBindIP 0.0.0.0):$(value ExternalUDPPort 4172) (UDP)"
echo "Server-side media:   $(value InternalBindIP 0.0.0.0):$(value InternalUDPPort 55000) (UDP)"
