#!/bin/sh
# Line coverage of each parser by its fuzz target's corpus: builds the fuzz
# targets with clang's source-based coverage (no sanitizers) in a build
# directory of their own, replays fuzz/corpus/<name>/ (and, when given, a
# directory of further inputs per target, e.g. what a long run found) and
# prints llvm-cov's line coverage of the files that target parses with.
#   scripts/fuzz-coverage.sh [build-dir] [extra-corpus-root]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/fuzz-coverage}
extra=${2:-}

# target: the parser files it is meant to cover
parsers() {
  case $1 in
    registry_file) echo platform/posix/reg_file_format.cpp platform/posix/utf16.cpp ;;
    access_settings) echo net/client_networks.cpp ;;
    server_answers) echo client/progress_answer.cpp client/client_session.cpp client/peer_text.cpp ;;
    tool_arguments) echo tools/vornctl/connection.cpp tools/vornpkg/entry_spec.cpp ;;
    package_description) echo install/package_description.cpp install/package_container.cpp ;;
    session) echo session/message_reader.cpp protocol/text_format.cpp session/command_table.cpp ;;
  esac
}

flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DVORN_BUILD_FUZZ=ON -DVORN_BUILD_TESTS=OFF \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
names=$(cd fuzz && ls ./*_fuzz.cpp | sed 's|^\./||; s|_fuzz\.cpp$||')
cmake --build "$build" -j"${VORN_JOBS:-2}" --target $(for n in $names; do echo "${n}_fuzz"; done)

mkdir -p "$build/profiles"
for name in $names; do
  target="$build/fuzz/${name}_fuzz"
  set -- "fuzz/corpus/$name"
  [ -z "$extra" ] || [ ! -d "$extra/$name" ] || set -- "$@" "$extra/$name"
  LLVM_PROFILE_FILE="$build/profiles/$name.profraw" "$target" -runs=0 "$@" >/dev/null 2>&1
  llvm-profdata-14 merge -sparse "$build/profiles/$name.profraw" -o "$build/profiles/$name.profdata"
  echo "=== $name"
  llvm-cov-14 report "$target" -instr-profile="$build/profiles/$name.profdata" |
    awk -v files=" $(parsers "$name") " '
      { for (i = 1; i <= split(files, f, " "); ++i) if (index($1, f[i]) && length($1) - length(f[i]) == index($1, f[i]) - 1) print f[i], "lines", $(NF-3) }'
done
