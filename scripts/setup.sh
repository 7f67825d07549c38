#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Works as root on a fresh machine whose only network is the Debian mirror.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev
          zlib1g-dev libbenchmark-dev valgrind clang-format)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
