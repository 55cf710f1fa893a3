# Shared by the scripts: install what is missing, configure and build.
# Sourced, not run.

QUILLO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUILLO_JOBS="${QUILLO_JOBS:-$(nproc 2>/dev/null || echo 2)}"

# Debian packages the build, the tests and the demo need.
QUILLO_PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  python3 unzip zip p7zip-full libarchive-tools
  libcurl4-openssl-dev python3-pyftpdlib python3-aiosmtpd
  qt6-base-dev xvfb xauth fonts-dejavu-extra
)

quillo_install_missing() {
  local missing=()
  for package in "${QUILLO_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# quillo_build DIR [cmake options...]: configure once, then build.
quillo_build() {
  local dir="$1"
  shift
  cmake -S "$QUILLO_ROOT" -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$QUILLO_JOBS"
}
