# Sourced by the bench scripts: the corpus, and a Release build of one
# target in its own build directory (the tests left out when the directory
# is new).
#   benchBuild BUILD_DIR TARGET TOOLS(ON|OFF) BENCH(ON|OFF)
corpus=$root/tests/data/corpus

benchBuild() {
  local build=$1 target=$2 config=(-DCMAKE_BUILD_TYPE=Release)
  if [[ ! -f $build/CMakeCache.txt ]]; then
    config+=(-DZELJBIG_TESTS=OFF -DZELJBIG_TOOLS="$3" -DZELJBIG_BENCH="$4" -DZELJBIG_SANITIZE=OFF)
  fi
  cmake -S "$root" -B "$build" "${config[@]}" >&2
  cmake --build "$build" -j2 --target "$target" >&2
}

# A scratch directory in $work, removed when the script exits.
benchScratch() {
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
}
