#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Talvek need.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-dev pkg-config
  libeigen3-dev libyajl-dev libzip-dev libopenblas-serial-dev
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  python3-numpy python3-scipy python3-h5py python3-matplotlib poppler-utils python3-pytest python3-tqdm
  python3-soundfile python3-yaml brutefir
  python3-jsonschema python3-flask chromium chromium-driver python3-selenium nodejs python3-reportlab
  python3-venv python3-pip python3-setuptools python3-wheel
  octave liboctave-dev gcc-multilib
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
