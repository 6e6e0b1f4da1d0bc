# Shared by the project's entry commands: install missing Debian packages,
# configure and build with CMake.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# Debian packages the build, the tests and the demo need.
ARK_PACKAGES=(cmake g++ make pkg-config libpcre2-dev libgtest-dev libgmock-dev libbenchmark-dev
              libpq-dev openssh-client openssh-server clang libclang-rt-14-dev)

ensure_packages() {
    local missing=()
    for pkg in "${ARK_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get install -y "${missing[@]}" >/dev/null || {
        $sudo apt-get update >/dev/null && $sudo apt-get install -y "${missing[@]}" >/dev/null
    }
}

# build DIR [cmake options...]
build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}
