#!/bin/sh
# Builds the Debian package zentrovane_<version>_<arch>.deb with debhelper
# from the programs of a CMake build tree.
#
#   scripts/build-deb.sh [BUILD_DIR [OUT_DIR]]
#
# BUILD_DIR (default: build) is configured and its programs built first,
# unless SKIP_BUILD=1. The package, its -dbgsym package and the .changes
# and .buildinfo files land in OUT_DIR (default: BUILD_DIR/deb); the last
# line printed is the package's path (packages of earlier builds there are
# removed first). The version is the CMake project's.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
out_dir=${2:-$build_dir/deb}
programs="Zentrovane.exe Loader.exe zvtar.exe zvclient zvaccount"

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  "$source_dir/scripts/install-deps.sh"
  [ -f "$build_dir/build.ninja" ] ||
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build_dir" --target zentrovane loader zvtar zvclient zvaccount
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || { echo "build-deb: no project version in $build_dir/CMakeCache.txt" >&2; exit 1; }

# dpkg-buildpackage writes beside the folder it builds in: a folder of our
# own below OUT_DIR, with the packaging, the settings and the programs.
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
stage="$out_dir/zentrovane-$version"
# OUT_DIR holds the packages of one build: "apt install ./zentrovane_*.deb".
rm -rf "$stage" "$out_dir"/zentrovane_* "$out_dir"/zentrovane-dbgsym_*
mkdir -p "$stage/bin"
cp -R "$source_dir/packaging/debian" "$source_dir/packaging/etc" "$source_dir/README.md" "$stage/"
for program in $programs; do
  cp "$build_dir/bin/$program" "$stage/bin/"
done
maintainer=$(sed -n 's/^Maintainer: //p' "$stage/debian/control")
cat > "$stage/debian/changelog" <<EOF
zentrovane ($version) unstable; urgency=medium

  * Zentrovane $version.

 -- $maintainer  $(date -R ${SOURCE_DATE_EPOCH:+-d @$SOURCE_DATE_EPOCH})
EOF

(cd "$stage" && dpkg-buildpackage -b -uc -us) >"$out_dir/build.log" 2>&1 || {
  cat "$out_dir/build.log" >&2
  echo "build-deb: dpkg-buildpackage failed (log: $out_dir/build.log)" >&2
  exit 1
}
rm -rf "$stage"
ls "$out_dir/zentrovane_${version}_"*.deb
