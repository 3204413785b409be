#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, when it is missing.
# Runs apt-get only as root; otherwise it lists what to install and stops.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config g++ clang clang-format llvm
  libclang-rt-14-dev libssl-dev openssl libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
  libbenchmark-dev openjdk-17-jdk-headless gettext
  qt6-base-dev qt6-translations-l10n xvfb xauth fonts-noto-cjk
  chromium nodejs
  libp11-kit-dev p11-kit softhsm2 opensc
  libsecret-1-dev gnome-keyring dbus-daemon
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
