#!/usr/bin/env bash
# Fuzzes the JSON-RPC answer decoder and the event decoder: builds their
# libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# generates seed corpora and runs each target for half of a bounded time.
# Fails when the fuzzer finds a crash, a leak or undefined behaviour (the
# input is left in the build folder).
#
#   bash scripts/fuzz.sh [SECONDS]    run for SECONDS in all (default 60)
#   VORLANE_FUZZ_BUILD                the build folder (default build/fuzz)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }

# clang and its runtimes (libFuzzer and the sanitizers are in libclang-rt),
# and what configuring the project needs.
packages=(clang libclang-rt-14-dev cmake make python3 libasio-dev nlohmann-json3-dev
          libsimdjson-dev libsodium-dev libsqlite3-dev libpq-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "error: install as root: apt-get install -y ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  echo "==> installing system packages: ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build=${VORLANE_FUZZ_BUILD:-$root/build/fuzz}
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
echo "==> building the fuzz target in $build"
CXX=clang++ cmake -S "$root" -B "$build" -DVORLANE_BUILD_MODULE=OFF -DVORLANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $sanitizers" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target rpc_decode_fuzz abi_decode_fuzz

corpus=$build/corpus
seeds=$build/seeds
rm -rf "$seeds"
python3 "$root/tools/rpc_fuzz_corpus.py" "$seeds" "$build/rpc.dict"
mkdir -p "$corpus"
abi_corpus=$build/abi-corpus
abi_seeds=$build/abi-seeds
rm -rf "$abi_seeds"
python3 "$root/tools/abi_fuzz_corpus.py" "$abi_seeds"
mkdir -p "$abi_corpus"

rpc_seconds=$(( (seconds + 1) / 2 ))
abi_seconds=$(( seconds - rpc_seconds ))
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1
cd "$build"
echo "==> fuzzing the JSON-RPC answer decoder for $rpc_seconds s"
./core/rpc_decode_fuzz -max_total_time="$rpc_seconds" -max_len=16384 -timeout=10 \
  -dict="$build/rpc.dict" -print_final_stats=1 -artifact_prefix="$build/" "$corpus" "$seeds"
if ((abi_seconds > 0)); then
  echo "==> fuzzing the event decoder for $abi_seconds s"
  ./core/abi_decode_fuzz -max_total_time="$abi_seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/abi-" "$abi_corpus" "$abi_seeds"
fi
