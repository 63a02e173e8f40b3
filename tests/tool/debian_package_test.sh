#!/usr/bin/env bash
# Builds the .deb from a build tree, installs it into this machine with
# dpkg, uses what it installed (the tool, its manual page, its completion,
# the library through find_package) and removes it again.
#   debian_package_test.sh BUILD_DIR SOURCE_DIR WORK_DIR [VIEWER_HTML]
# Skips (77) where it would touch a qvr that is not its own. When the web
# build has made the viewer, the package must carry it.
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") work=$3 viewer=${4:-}

if [ "$(id -u)" -ne 0 ]; then echo "needs root to install a package"; exit 77; fi
if dpkg-query -W -f='${Status}' qvr 2>/dev/null | grep -q installed; then
    echo "a qvr package is installed already; not replacing it"; exit 77
fi
if [ -e /usr/bin/qvr ]; then echo "/usr/bin/qvr exists already; not replacing it"; exit 77; fi

rm -rf "$work" && mkdir -p "$work"
installed=0
cleanup() { if [ "$installed" = 1 ]; then dpkg -r qvr >/dev/null || true; fi; }
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" ||
    { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/packages/qvr_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends|Recommends):'
# mount loads libfuse3 when it starts, so no linked library names it.
if "$build/tools/qvr/qvr" help mount >/dev/null 2>&1; then
    dpkg-deb --field "$deb" Recommends | grep -q 'libfuse3-3' ||
        { echo "the package does not recommend libfuse3 for mount"; exit 1; }
fi

installed=1
dpkg -i "$deb"

version=$(/usr/bin/qvr --version)
grep -q "^qvr $(sed -n 's/^project(qvr VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")\$" <<<"$version" ||
    { echo "installed qvr --version says: $version"; exit 1; }
page=$(man -w qvr)
[ "$page" = /usr/share/man/man1/qvr.1.gz ] || { echo "man -w qvr: $page"; exit 1; }
man -l "$page" 2>/dev/null | grep -q 'qvr delete' || { echo "the manual page lacks qvr delete"; exit 1; }
[ -r /usr/share/bash-completion/completions/qvr ] || { echo "no bash completion installed"; exit 1; }
[ -r /usr/share/doc/qvr/README.md ] || { echo "no README installed"; exit 1; }
if [ -n "$viewer" ] && [ -f "$viewer" ]; then
    cmp -s "$viewer" /usr/share/qvr/qvr-viewer.html || { echo "the package lacks the viewer it was built with"; exit 1; }
else
    echo "no viewer built (the web preset makes it); not looked for in the package"
fi

# The library, found where the package put it, with no prefix given.
cmake -S "$source/examples/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
out=$("$work/consumer/qvr_consumer")
[ "$out" = $'readme.txt 100\ndata\\level1.bin 150' ] || { echo "consumer printed: $out"; exit 1; }

dpkg -r qvr
installed=0
for f in /usr/bin/qvr /usr/share/man/man1/qvr.1.gz /usr/lib/cmake/qvr; do
    [ ! -e "$f" ] || { echo "left behind after removal: $f"; exit 1; }
done
rm -rf "$work"
echo "debian package: installs, works and removes cleanly"
