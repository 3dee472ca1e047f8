#!/usr/bin/env bash
# Installs what the SMTP benchmarks need beyond the test dependencies: Postfix as the receiving
# server (smtp-sink, and smtpd with Cyrus SASL logins made by sasl2-bin), stunnel4 to put TLS in
# front of it, curl, msmtp and swaks as the programs to compare with, hyperfine and GNU time for
# wall time and peak memory.
# Benchmarks are not part of the tests; scripts/install-deps.sh does not install these.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(postfix sasl2-bin libsasl2-modules stunnel4 curl time msmtp swaks hyperfine)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  # The system's postfix stays unconfigured and is never started: benches run private instances.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  $SUDO apt-get update -qq
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  $SUDO rm -f /usr/sbin/policy-rc.d
fi
