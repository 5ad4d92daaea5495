# Sourced by the bench scripts: a Release build of one target in its own
# build directory (the tests left out when the directory is new).
#   benchBuild BUILD_DIR TARGET TOOLS(ON|OFF) BENCH(ON|OFF)
benchBuild() {
  local build=$1 target=$2 config=(-DCMAKE_BUILD_TYPE=Release)
  if [[ ! -f $build/CMakeCache.txt ]]; then
    config+=(-DZELJBIG_TESTS=OFF -DZELJBIG_TOOLS="$3" -DZELJBIG_BENCH="$4" -DZELJBIG_SANITIZE=OFF)
  fi
  cmake -S "$root" -B "$build" "${config[@]}" >&2
  cmake --build "$build" -j2 --target "$target" >&2
}
