#!/usr/bin/env bash
# The installation, staged with `cmake --install` (DESTDIR) and run against a simulated crate
# server on a free port, and the Debian package. Cases: layout (files, RUNPATH, icons, menu
# entry, manual pages), installed_as_root, readonly_as_nobody (where the settings land and
# are read back), deb (cpack -G DEB). Environment from CMakeLists.txt; exit code 77: skipped.
set -euo pipefail
export LC_ALL=C
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qmx-packaging.XXXXXX")
chmod 755 "$scratch"
pids=()
cleanup() {
    set +e
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
stage() { DESTDIR=$1 "$CMAKE" --install "$QMX_BUILD_DIR" --prefix /usr --component program >/dev/null; }

# The staged simulated server on a free port, named by its first line of output.
start_server() {
    "$1" --port 0 --fast >"$scratch/server.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 300); do
        QMX_SERVER_PORT=$(sed -n '1s/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/server.log")
        [ -n "$QMX_SERVER_PORT" ] && export QMX_SERVER_PORT && return 0
        sleep 0.1
    done
    fail "the simulated server named no port"
}
# The programs run as the caller ($as empty) or as nobody, with HOME in the scratch folder.
as=()
make_home() {
    mkdir -p "$1/run" && chmod 700 "$1/run"
    if [ ${#as[@]} -gt 0 ]; then chown -R nobody:nogroup "$1"; fi
    export HOME=$1 XDG_RUNTIME_DIR=$1/run
    unset XDG_CONFIG_HOME
}
# run_window PROGRAM CONDITION...: the window offscreen on a screen it accepts (1280x768 at
# least) until CONDITION holds (60 s at most). It has no command to quit: it is killed then,
# after a check that a sanitizer reported nothing.
echo '{"screens":[{"name":"t","x":0,"y":0,"width":1366,"height":800,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]}' >"$scratch/screen.json"
run_window() {
    "${as[@]}" env QT_QPA_PLATFORM="offscreen:configfile=$scratch/screen.json" "$1" >"$scratch/window.log" 2>&1 &
    local window=$! i
    pids+=("$window")
    shift
    for i in $(seq 601); do
        "$@" && break
        kill -0 "$window" 2>/dev/null || fail "the window ended: $(cat "$scratch/window.log")"
        [ "$i" -lt 601 ] || fail "waited 60 s for: $*"
        sleep 0.1
    done
    if grep -q Sanitizer "$scratch/window.log"; then fail "$(cat "$scratch/window.log")"; fi
    kill "$window" && wait "$window" 2>/dev/null || true
}
# The factory file is created empty, then replaced once: done when not empty. Fails at once
# when it appears at $2 instead.
written() { [ ! -e "$2" ] || fail "the window wrote $2 instead of $1"; [ -s "$1" ]; }
# The window's discovery, which reads the settings file first, holds a connection to the server.
connected() { awk -v p=":$(printf %04X "$QMX_SERVER_PORT")" '$3 ~ p"$" && $4 == "01" { f = 1 } END { exit !f }' /proc/net/tcp; }

# Sets key $2 of settings file $1 (Windows-1251, CRLF) to $3, in place (owner kept).
set_key() {
    local text
    text=$(iconv -f CP1251 -t UTF-8 "$1")
    [ "$(grep -c "^$2=" <<<"$text")" -eq 1 ] || fail "key '$2' is not in $1 once"
    sed "s/^$2=.*\r\$/$2=$3\r/" <<<"$text" | iconv -f UTF-8 -t CP1251 >"$scratch/edited"
    cat "$scratch/edited" >"$1"
}
edit_settings() { set_key "$1" "АЦП. Метод расчёта измеряемых величин" sum; set_key "$1" "АЦП. Mаксимальное время сбора данных, с" 0.25; }
# qmx58-probe $1 [options] measures with method $2 and acquisition time $3 (its CSV header says).
measures_with() {
    out=$("${as[@]}" "$1" measure --frames 1 "${@:4}") || fail "qmx58-probe measure failed"
    grep -qx "# method: $2" <<<"$out" && grep -qx "# acquisition_time_s: $3" <<<"$out" ||
        fail "expected $2 and $3 from the settings: $(grep '^#' <<<"$out")"
}

case ${1:?case} in
layout)
    stage "$scratch/s"
    usr=$scratch/s/usr lib=$QMX_PRIVATE_LIBDIR
    expected="bin/Qmx58_Probe_User bin/qmx58-probe bin/qmx-crate-server $lib/libqmxapi.so $lib/libqmx58api.so
        share/applications/qmx58-probe.desktop share/qmx58-probe/installed $(for n in $QMX_ICON_SIZES; do
        echo "share/icons/hicolor/${n}x$n/apps/qmx58-probe.png"; done) share/man/man1/qmx-crate-server.1.gz
        share/man/man1/Qmx58_Probe_User.1.gz share/man/man1/qmx58-probe.1.gz"
    diff <(tr -s ' \n' '\n\n' <<<"$expected" | sed '/^$/d' | sort) <(cd "$usr" && find . -type f | sed 's|^\./||' | sort) ||
        fail "installed files (<: missing, >: unexpected)"
    # The programs find the built libraries (not the test copies) beside them by RUNPATH.
    for p in Qmx58_Probe_User qmx58-probe; do
        for built in $QMX_BUILT_LIBS; do
            found=$(env -u LD_LIBRARY_PATH ldd "$usr/bin/$p" | awk -v l="${built##*/}" '$1 == l { print $3 }')
            [ "$(realpath "$found")" = "$usr/$lib/${built##*/}" ] && cmp -s "$built" "$found" || fail "$p finds '$found'"
        done
    done
    for n in $QMX_ICON_SIZES; do  # the PNG header's width and height
        size=$(od -An -tu1 -j16 -N8 "$usr/share/icons/hicolor/${n}x$n/apps/qmx58-probe.png" | awk '{ print $3*256+$4 "x" $7*256+$8 }')
        [ "$size" = "${n}x$n" ] || fail "the ${n}x$n icon is $size"
    done
    desktop=$usr/share/applications/qmx58-probe.desktop
    if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$desktop" || fail "menu entry refused"; fi
    [ -x "$usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" ] || fail "Exec names no installed program"
    [ "$(grep -c '^\(Name\|Comment\)\[ru\]=.' "$desktop")" = 2 ] || fail "no Russian name and comment"
    for page in "$usr"/share/man/man1/*.gz; do
        warnings=$(gzip -dc "$page" | { if command -v groff >/dev/null; then groff -man -Tutf8 -ww -z 2>&1; fi; })
        [ -z "$warnings" ] || fail "$page: $warnings"
    done
    "$usr/bin/qmx58-probe" --version | grep -qx "qmx58-probe ${QMX_FILE_VERSION%.*}" || fail "staged qmx58-probe"
    ;;

installed_as_root)  # root may write the program folder: the installed marker decides
    [ "$(id -u)" -eq 0 ] || skip "the case is root's"
    stage "$scratch/s"
    bin=$scratch/s/usr/bin
    start_server "$bin/qmx-crate-server"
    make_home "$scratch/home"
    export XDG_CONFIG_HOME=$scratch/xdg
    user_file=$XDG_CONFIG_HOME/qmx58-probe/Qmx58_Probe.ini
    measures_with "$bin/qmx58-probe" fft 1  # no file yet: the read defaults, and none made
    [ ! -e "$user_file" ] || fail "qmx58-probe created $user_file"
    run_window "$bin/Qmx58_Probe_User" written "$user_file" "$bin/Qmx58_Probe.ini"
    [ "$(stat -c %a "${user_file%/*}")" = 700 ] || fail "the user's folder is not private"
    # A portable copy (no marker) keeps its file beside itself, with the same factory content.
    mkdir "$scratch/p" && cp -a "$scratch/s/usr/bin" "$scratch/s/usr/lib" "$scratch/p/"
    XDG_CONFIG_HOME=$scratch/xdg-p run_window "$scratch/p/bin/Qmx58_Probe_User" written "$scratch/p/bin/Qmx58_Probe.ini" "$scratch/xdg-p/qmx58-probe/Qmx58_Probe.ini"
    cmp "$user_file" "$scratch/p/bin/Qmx58_Probe.ini" || fail "the factory files differ"
    # Read back: qmx58-probe measures with the changed keys; the window's second start takes
    # the file as it is and makes no other; the portable qmx58-probe reads its own file.
    edit_settings "$user_file"
    measures_with "$bin/qmx58-probe" sum 0.25
    cp "$user_file" "$scratch/before"
    run_window "$bin/Qmx58_Probe_User" connected
    cmp "$user_file" "$scratch/before" && [ ! -e "$bin/Qmx58_Probe.ini" ] || fail "the second start wrote a file"
    measures_with "$scratch/p/bin/qmx58-probe" fft 0.75
    ;;

readonly_as_nobody)  # without the marker: the folder's rights alone decide
    if [ "$(id -u)" -eq 0 ]; then
        as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        "${as[@]}" true 2>/dev/null || skip "cannot drop root to nobody here"
    fi
    stage "$scratch/s"
    rm -r "$scratch/s/usr/share/qmx58-probe"
    bin=$scratch/s/usr/bin
    chmod 555 "$bin"
    start_server "$bin/qmx-crate-server"
    make_home "$scratch/home"
    user_file=$HOME/.config/qmx58-probe/Qmx58_Probe.ini
    run_window "$bin/Qmx58_Probe_User" written "$user_file" "$bin/Qmx58_Probe.ini"
    edit_settings "$user_file"
    measures_with "$bin/qmx58-probe" sum 0.25
    measures_with "$bin/qmx58-probe" sum 0.25 --rate 39062.5 --save  # written there too, and read next
    measures_with "$bin/qmx58-probe" sum 0.25
    grep -qx '# rate_hz: 39062.5' <<<"$out" && [ ! -e "$bin/Qmx58_Probe.ini" ] || fail "--save went elsewhere"
    chmod 755 "$bin"
    ;;

deb)
    if [ "$QMX_SANITIZED" = 1 ]; then skip "a sanitizer build's binaries make no package"; fi
    "$CPACK" -G DEB --config "$QMX_BUILD_DIR/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
        fail "cpack: $(cat "$scratch/cpack.log")"
    deb=$scratch/out/qmx58-probe_${QMX_FILE_VERSION}_$(dpkg --print-architecture).deb
    f() { dpkg-deb -f "$deb" "$1"; }
    [ "$(f Package) $(f Version) $(f Section) $(f Recommends)" = "qmx58-probe $QMX_FILE_VERSION electronics fonts-liberation" ] &&
        [ -n "$(f Maintainer)" ] && [ -n "$(f Description)" ] && [ "$(f Installed-Size)" -gt 0 ] || fail "fields of $deb"
    # Dependencies from the binaries: Qt and the run-times, none on the package's own libraries.
    names=$(f Depends | tr ',|' '\n\n' | awk '{ print $1 }')
    for pkg in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
        grep -qxF "$pkg" <<<"$names" || fail "Depends lacks $pkg: $(f Depends)"
    done
    if grep -q qmx <<<"$names" || dpkg-deb -I "$deb" | grep -Eq ' (pre|post)(inst|rm) '; then
        fail "own libraries in Depends, or maintainer scripts"
    fi
    # Exactly the staged files (no tests, benchmarks, fuzzers or static libraries); stripped,
    # the binaries keep the file versions the window checks.
    stage "$scratch/s"
    diff <(cd "$scratch/s" && find . -type f | sort) <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort) ||
        fail "the package's files differ from the staged install"
    dpkg-deb -x "$deb" "$scratch/x"
    for file in "$scratch"/x/usr/bin/Qmx58_Probe_User "$scratch"/x/usr/"$QMX_PRIVATE_LIBDIR"/*.so; do
        readelf -n "$file" | grep -q '^ *QMX ' || fail "$file lost its file version"
    done
    ;;
*) fail "unknown case $1" ;;
esac
echo "OK: $1"
