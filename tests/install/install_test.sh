#!/usr/bin/env bash
# The install tests (tests/install/CMakeLists.txt): one step per call.
#
#   install_test.sh tree     BUILD DEST           install BUILD into DEST with DESTDIR, check the layout
#   install_test.sh play     DEST MEDIA           marlin-play from the prefix, started elsewhere
#   install_test.sh consumer DEST MEDIA SOURCE WORK FLAGS   tiny programs on pkg-config and the CMake package
#   install_test.sh python   DEST MEDIA SOURCE WORK PYTHON  the Python module in a fresh virtual environment
#   install_test.sh deb      BUILD WORK           the Debian package, inspected with dpkg-deb
set -euo pipefail

step=$1
shift
prefix=/usr/local

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# A folder of its own for a step, outside the source and build trees' paths
# that the programs could fall back on.
fresh() {
    rm -rf "$1"
    mkdir -p "$1"
}

case $step in
tree)
    build=$1 dest=$2
    fresh "$dest"
    DESTDIR=$dest cmake --install "$build" --prefix "$prefix" >/dev/null
    root=$dest$prefix
    for f in bin/marlin-play lib/marlin/marlin-host \
        lib/marlin/LAVFilters/LAVSplitter.ax lib/marlin/LAVFilters/LAVVideo.ax lib/marlin/LAVFilters/LAVAudio.ax \
        lib/libmarlin-controller.so include/marlin/Controller.h lib/pkgconfig/marlin-controller.pc \
        lib/cmake/MarlinController/MarlinControllerConfig.cmake \
        share/man/man1/marlin-play.1 share/man/man1/marlin-host.1 share/doc/marlin/protocol.md; do
        [ -e "$root/$f" ] || fail "$f is not installed"
    done
    # Nothing may point back into the build tree: no run path, no text file
    # (debug information may name it).
    while IFS= read -r -d '' f; do
        if head -c 4 "$f" | grep -q "ELF"; then
            if readelf -d "$f" | grep -E "RPATH|RUNPATH" | grep -q "$build"; then fail "$f has a run path into the build tree"; fi
        elif grep -q "$build" "$f"; then
            fail "$f names the build tree"
        fi
    done < <(find "$root" -type f -print0)
    # The public header stands alone.
    echo '#include <marlin/Controller.h>' | c++ -std=c++17 -fsyntax-only -x c++ -I "$root/include" - ||
        fail "marlin/Controller.h does not compile on its own"
    echo "installed into $root"
    ;;

play)
    dest=$1 media=$2
    elsewhere=$(mktemp -d)
    trap 'rm -rf "$elsewhere"' EXIT
    cp "$media" "$elsewhere/clip.mp4"
    cd "$elsewhere"
    env -u MARLIN_HOST "$dest$prefix/bin/marlin-play" info clip.mp4 || fail "marlin-play info"
    env -u MARLIN_HOST "$dest$prefix/bin/marlin-play" play clip.mp4 --size 80x60 --stats --no-progress | tee stats.txt
    grep -Eq "ended by: +PlayComplete" stats.txt || fail "the playback did not end with PlayComplete"
    ;;

consumer)
    dest=$1 media=$2 source=$3 work=$4 flags=$5
    fresh "$work"
    root=$dest$prefix
    export PKG_CONFIG_PATH=$root/lib/pkgconfig
    pkg-config --exists marlin-controller || fail "pkg-config does not know marlin-controller"
    cflags=$(pkg-config --cflags marlin-controller)
    libs=$(pkg-config --libs marlin-controller)
    libdir=$(pkg-config --variable=libdir marlin-controller)
    echo "pkg-config: $cflags $libs"
    # shellcheck disable=SC2086  # the flags are lists
    c++ -std=c++20 $flags "$source/consumer.cpp" -o "$work/consumer-pc" $cflags $libs -Wl,-rpath,"$libdir"
    cmake -S "$source" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
    cmake --build "$work/cmake" >/dev/null
    cd "$work"
    for program in "$work/consumer-pc" "$work/cmake/consumer"; do
        echo "--- $program"
        env -u MARLIN_HOST "$program" "$media" || fail "$program did not play $media"
    done
    ;;

python)
    dest=$1 media=$2 source=$3 work=$4 python=$5
    fresh "$work"
    "$python" -m venv "$work/venv" || fail "$python -m venv (Debian: apt install python3-venv)"
    # As a user would; --no-index: the module needs nothing from outside.
    "$work/venv/bin/pip" install --quiet --no-index "$source" ||
        fail "pip install of the Python module"
    cd "$work"
    # The module finds the host through the marlin-play on PATH.
    env -u MARLIN_HOST PATH="$dest$prefix/bin:$PATH" "$work/venv/bin/python" "$source/examples/play_file.py" "$media" ||
        fail "the Python example did not play $media"
    ;;

deb)
    build=$1 work=$2
    fresh "$work"
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack"; }
    deb=$(ls "$work"/marlin_*.deb)
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    for lib in libavformat libavcodec libavutil libswscale libswresample; do
        major=$(pkg-config --modversion "$lib" | cut -d. -f1)
        grep -Eq "(^|, )$lib$major( |,|$)" <<<"$depends" || fail "no dependency on $lib$major"
    done
    dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
    for f in ./usr/bin/marlin-play ./usr/lib/marlin/marlin-host ./usr/lib/marlin/LAVFilters/LAVVideo.ax \
        ./usr/lib/libmarlin-controller.so ./usr/include/marlin/Controller.h ./usr/lib/pkgconfig/marlin-controller.pc \
        ./usr/share/man/man1/marlin-play.1 ./usr/share/doc/marlin/protocol.md; do
        grep -qx "$f" "$work/contents" || fail "$f is not in the package"
    done
    echo "$(basename "$deb"): $(wc -l <"$work/contents") entries"
    ;;

*)
    fail "unknown step $step"
    ;;
esac
