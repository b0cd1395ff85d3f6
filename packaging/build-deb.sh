#!/usr/bin/env bash
# Builds the Debian packages quorvane-server and quorvane-cli from this repository (a
# Release build), offline from Debian packages only, and checks them with lintian: any
# error fails the build.
#
# Usage: packaging/build-deb.sh [OUTPUT-DIR]      (default: build/deb)
#
# The sources are copied into a staging directory of this build's own (mktemp -d, removed
# at the end), with packaging/debian as debian/, and dpkg-buildpackage builds there; so
# builds can run side by side. ccache, where the machine has it, serves a rebuild from any
# staging directory, since its paths are taken relative to it (CCACHE_BASEDIR).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$repo/build/deb}

bash "$repo/scripts/install-packages.sh" dpkg-dev debhelper lintian help2man fakeroot

version=$(dpkg-parsechangelog -l "$repo/packaging/debian/changelog" -S Version)
# One version everywhere: the package's is the project's, which both programs print.
project=$(sed -n 's/^project(quorvane VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
if [ "$version" != "$project" ]; then
    echo "packaging/debian/changelog says $version, CMakeLists.txt $project: make them one" >&2
    exit 1
fi
stage=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-deb.XXXXXX")
trap 'rm -rf "$stage"' EXIT
src="$stage/quorvane-$version"
mkdir -p "$src" "$out"
tar -C "$repo" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -
cp -r "$repo/packaging/debian" "$src/debian"

echo "Building the packages of quorvane $version in $src"
(
    cd "$src"
    export DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck"
    export CCACHE_BASEDIR="$src"
    # debhelper gives the build a HOME of its own: the cache is named, or every build
    # would start with an empty one.
    if command -v ccache >/dev/null 2>&1; then
        CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
        export CCACHE_DIR
    fi
    dpkg-buildpackage -us -uc -b >"$stage/build.log" 2>&1 || { tail -n 60 "$stage/build.log"; exit 1; }
)

changes="$stage/quorvane_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).changes"
# Errors fail; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$changes" | tee "$stage/lintian.log"
rm -f "$out"/quorvane-server_*.deb "$out"/quorvane-cli_*.deb
for deb in "$stage"/quorvane-server_"$version"_*.deb "$stage"/quorvane-cli_"$version"_*.deb; do
    cp "$deb" "$out/"
done
echo "Packages in $out:"
ls -1 "$out"/*.deb
