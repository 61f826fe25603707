#!/usr/bin/env bash
# The developer's entry point.
#   ./dev.sh test           install dependencies, build the normal and the sanitizer build, run every test
#   ./dev.sh run [FILE...]  install dependencies, build, and open the files with the example scripts
#   ./dev.sh build [PRESET] install dependencies and build one preset (default or asan)
set -euo pipefail
# The files named to `run` are found from the caller's folder; everything else happens in the checkout.
caller=$PWD
cd "$(dirname "$0")"

# QZ_JOBS caps the parallel compile and test jobs (default: every processor).
jobs=${QZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
QZ_DEPS_PREFIX=$(./scripts/install-deps.sh | tail -n 1)
export QZ_DEPS_PREFIX

build() {
  local preset=$1
  echo "[dev] building $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
}

run_tests() {
  local preset=$1
  echo "[dev] testing $preset" >&2
  ctest --preset "$preset" -j "$jobs"
}

# A script tree beside the build: the executables (hard-linked, as qz finds its directory and the render
# process beside it through /proc/self/exe) with the example scripts under data/ and a user/ directory for the boot log.
example_tree() {
  local tree=build/default/example
  mkdir -p "$tree/user"
  ln -f build/default/src/qz "$tree/qz" 2>/dev/null || cp -f build/default/src/qz "$tree/qz"
  ln -f build/default/src/qz-render "$tree/qz-render" 2>/dev/null || cp -f build/default/src/qz-render "$tree/qz-render"
  ln -sfn "$PWD/examples/data" "$tree/data"
  printf '%s\n' "$tree"
}

case "${1:-}" in
  test)
    build default
    run_tests default
    build asan
    run_tests asan
    ;;
  run)
    shift
    build default >/dev/null
    tree=$PWD/$(example_tree)
    cd "$caller"
    exec "$tree/qz" --new-instance "$@"
    ;;
  build)
    build "${2:-default}"
    ;;
  *)
    sed -n '2,5p' "$(basename "$0")" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
