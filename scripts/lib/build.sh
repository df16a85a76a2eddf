# Sourced by the scripts: where the repository is and how a build folder is made.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
JOBS=${ZENTAVO_JOBS:-$(nproc)}

# The three build folders the scripts use; their names are fixed so that
# the README, the benchmarks and a developer's IDE all find the same binaries.
QT6_BUILD=$ROOT/build
QT5_BUILD=$ROOT/build-qt5
ASAN_BUILD=$ROOT/build-asan

qt5_cmake_dir() {
    echo "/usr/lib/$(gcc -print-multiarch)/cmake/Qt5"
}

# configure_and_build DIR [CMAKE_ARGS...] [-- TARGETS...]
# Configures DIR with Ninja (once) and builds the given targets, or everything.
configure_and_build() {
    local dir=$1; shift
    local -a cmake_args=() targets=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do cmake_args+=("$1"); shift; done
    [ $# -gt 0 ] && { shift; targets=("$@"); }
    mkdir -p "$dir"
    if ! cmake -S "$ROOT" -B "$dir" -G Ninja -Wno-dev "${cmake_args[@]}" >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log"
        echo "configure of $dir failed" >&2
        return 1
    fi
    echo "== $(grep -m1 -o 'Building against Qt .*' "$dir/configure.log" || echo configured) in ${dir#$ROOT/}"
    if [ ${#targets[@]} -gt 0 ]; then
        cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"
    else
        cmake --build "$dir" -j "$JOBS"
    fi
}
