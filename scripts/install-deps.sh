#!/usr/bin/env bash
# Installs, with apt-get and only when missing, everything the build, the tests
# and the benchmarks need. Quiet and quick when all is present.
#   scripts/install-deps.sh            build + test dependencies
#   scripts/install-deps.sh --witness  also the interoperability witness tools (and the
#                                      npm package ag-psd, a PSD reader, under npm's global root)
#   scripts/install-deps.sh --peers    also the benchmark peer libraries
#   scripts/install-deps.sh --fuzz     also clang with libFuzzer and the sanitizer runtimes
set -euo pipefail

witness=false
pkgs=(g++ cmake ninja-build ccache pkg-config make
      qt6-base-dev libtbb-dev libpng-dev libtiff-dev zlib1g-dev
      libjpeg62-turbo-dev libgtest-dev libgmock-dev libbenchmark-dev
      libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
      fonts-dejavu-core)
for arg in "$@"; do
  case "$arg" in
    --witness) witness=true; pkgs+=(imagemagick openimageio-tools libtiff-tools ffmpeg librsvg2-bin libvips-tools)
               # node and npm from Debian, unless a node with its own npm is there already
               command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm) ;;
    --peers) pkgs+=(imagemagick openimageio-tools libopenimageio-dev libvips-dev libvips-tools libmagickcore-6.q16-dev libswscale-dev time
                    libcairo2-dev librsvg2-dev libfftw3-dev) ;;
    --fuzz) pkgs+=(clang libclang-rt-dev llvm) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

# ag-psd reads the PSD files the tests write; without the registry the tests skip it.
install_ag_psd() {
  $witness || return 0
  command -v npm >/dev/null 2>&1 || return 0
  [ -f "$(npm root -g)/ag-psd/package.json" ] && return 0
  echo "install-deps: installing ag-psd (npm)" >&2
  npm install -g --no-audit --no-fund --loglevel=error ag-psd@31 >/dev/null ||
    echo "install-deps: ag-psd not installed; its tests will be skipped" >&2
}

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then install_ag_psd; exit 0; fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1
  fi
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Several builds may install at once: wait for the package lock instead of failing.
apt_opts=(-o DPkg::Lock::Timeout=900 -qq)
$SUDO apt-get "${apt_opts[@]}" update >/dev/null
$SUDO apt-get "${apt_opts[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
install_ag_psd
