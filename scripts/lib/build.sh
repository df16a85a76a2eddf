# Sourced by the scripts: where the repository is and how a build folder is made.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
JOBS=${ZENTAVO_JOBS:-$(nproc)}

# The build folders of the presets (CMakePresets.json); their names are fixed
# so that the README, the benchmarks and a developer's IDE all find the same
# binaries.
QT6_BUILD=$ROOT/build
QT5_BUILD=$ROOT/build-qt5
ASAN_BUILD=$ROOT/build-asan
FUZZ_BUILD=$ROOT/build-fuzz
ARM64_BUILD=$ROOT/build-arm64

# preset_dir PRESET: the binaryDir of a configure preset.
preset_dir() {
    case $1 in
        qt6) echo "$QT6_BUILD" ;;
        qt5) echo "$QT5_BUILD" ;;
        asan) echo "$ASAN_BUILD" ;;
        fuzz) echo "$FUZZ_BUILD" ;;
        arm64) echo "$ARM64_BUILD" ;;
        *) echo "no configure preset '$1' (qt6, qt5, asan, fuzz, arm64)" >&2; return 1 ;;
    esac
}

# build_preset PRESET [CMAKE_ARGS...] [-- TARGETS...]
# Configures with the preset (cache options of its own may follow) and builds
# the given targets, or what the preset's build builds.
build_preset() {
    local preset=$1 dir; shift
    dir=$(preset_dir "$preset") || return 1
    local -a cmake_args=() targets=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do cmake_args+=("$1"); shift; done
    [ $# -gt 0 ] && { shift; targets=("$@"); }
    mkdir -p "$dir"
    # Presets are read from the current folder.
    if ! (cd "$ROOT" && cmake --preset "$preset" "${cmake_args[@]}") >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log"
        echo "configure of $dir (preset $preset) failed" >&2
        return 1
    fi
    echo "== $(grep -m1 -o 'Building against Qt .*' "$dir/configure.log" || echo configured) in ${dir#$ROOT/}"
    local -a build=(cmake --build --preset "$preset" -j "$JOBS")
    [ ${#targets[@]} -gt 0 ] && build+=(--target "${targets[@]}")
    (cd "$ROOT" && "${build[@]}")
}
