# Shared by the project's entry commands: install missing Debian packages,
# configure and build with CMake.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# Debian packages the build, the tests and the demo need, on Debian 12 and 13
# alike. The clang runtime (sanitizers and libFuzzer for the fuzz build) is
# packaged per clang version, so it is chosen after clang is installed.
# Amanda (server and client) runs the end-to-end test of the Amanda
# application; libarchive writes and reads its dumps. strace records the file
# and sync calls of a backup, for the power-loss ordering test and the
# benchmarks' sync counts.
ARK_PACKAGES=(cmake g++ make pkg-config libpcre2-dev libgtest-dev libgmock-dev libbenchmark-dev
              libpq-dev openssh-client openssh-server clang libarchive-dev amanda-server amanda-client strace)

# install_missing PACKAGE...: install those of the packages that are not yet.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
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

# The major version of the installed clang (14 on Debian 12, 19 on Debian 13).
clang_major() { clang -dumpversion | cut -d. -f1; }

# The directory of the installed clang's LLVM tools (llvm-symbolizer).
llvm_bindir() { echo "/usr/lib/llvm-$(clang_major)/bin"; }

ensure_packages() {
    install_missing "${ARK_PACKAGES[@]}"
    install_missing "libclang-rt-$(clang_major)-dev"
}

# build DIR [cmake options...]
build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}
