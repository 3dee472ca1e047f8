#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  libssl-dev openssl
  python3 python3-aiosmtpd postfix sasl2-bin libsasl2-modules
  microsocks dante-server
  tzdata locales
  man-db bsdextrautils bash-completion xvfb xdotool
  dpkg-dev file lintian strace
  qt6-base-dev libxcb1-dev fonts-dejavu-core
  imagemagick desktop-file-utils qt6-gtk-platformtheme
  libsecret-1-dev libidn2-dev gnome-keyring dbus libsecret-tools
  git-email libmailtools-perl bsd-mailx mpack maildrop
  stress-ng
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  # postfix: the tests run private instances of their own; the system gets no mail set-up.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  # Service packages must not try to start daemons during installation.
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  $SUDO rm -f /usr/sbin/policy-rc.d
fi

# A non-English locale for the Date line tests.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  $SUDO locale-gen >/dev/null
fi
