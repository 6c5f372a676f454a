#!/usr/bin/env bash
# The installation, staged with `cmake --install` (DESTDIR) and run against a simulated crate
# server on a free port, and the Debian package. Cases: layout (files, RUNPATH, icons, menu
# entries, manual pages), metadata (AppStream, copyright, changelog), demo (qmx58-probe-demo
# starts and stops the simulator), hardening (the binaries' ELF properties and compile
# flags), installed_as_root, readonly_as_nobody (where the settings land and are read back),
# deb (cpack -G DEB, lintian). Environment from CMakeLists.txt; exit code 77: skipped.
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
    expected="bin/Qmx58_Probe_User bin/qmx58-probe bin/qmx-crate-server bin/qmx58-probe-demo $lib/libqmxapi.so
        $lib/libqmx58api.so share/applications/qmx58-probe.desktop share/applications/qmx58-probe-demo.desktop
        share/metainfo/$QMX_APPSTREAM_ID.metainfo.xml share/qmx58-probe/installed $(for n in $QMX_ICON_SIZES; do
        echo "share/icons/hicolor/${n}x$n/apps/qmx58-probe.png"; done) share/man/man1/qmx-crate-server.1.gz
        share/man/man1/Qmx58_Probe_User.1.gz share/man/man1/qmx58-probe.1.gz share/man/man1/qmx58-probe-demo.1.gz
        share/doc/qmx58-probe/copyright share/doc/qmx58-probe/changelog.gz share/lintian/overrides/qmx58-probe"
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
    for desktop in "$usr"/share/applications/*.desktop; do
        if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$desktop" || fail "$desktop refused"; fi
        [ -x "$usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" ] || fail "$desktop: Exec names no installed program"
        [ "$(grep -c '^\(Name\|Comment\)\[ru\]=.' "$desktop")" = 2 ] || fail "$desktop: no Russian name and comment"
    done
    # The window's message for a missing crate names the simulator's menu entry as the menu
    # shows it, in both languages, and its command.
    demo=$usr/share/applications/qmx58-probe-demo.desktop
    for hint in "$(sed -n 's/^Name=//p' "$demo")" "$(sed -n 's/^Name\[ru\]=//p' "$demo")" qmx58-probe-demo; do
        grep -qF "$hint" "$usr/bin/Qmx58_Probe_User" || fail "the window's hint does not name '$hint'"
    done
    for page in "$usr"/share/man/man1/*.gz; do  # -k: the pages are UTF-8
        warnings=$(gzip -dc "$page" | { if command -v groff >/dev/null; then groff -k -man -Tutf8 -ww -z 2>&1; fi; })
        [ -z "$warnings" ] || fail "$page: $warnings"
    done
    # Every short cut the window sets up is in its manual page, and Escape.
    page=$(gzip -dc "$usr/share/man/man1/Qmx58_Probe_User.1.gz")
    keys=$(cat "$QMX_SOURCE_DIR"/src/app/*.cpp | grep -oE '"((Ctrl|Shift|Alt|Meta)\+)+[A-Za-z0-9]+"' | tr -d '"' | sort -u)
    [ "$(wc -l <<<"$keys")" -ge 10 ] || fail "found only these short cuts in the source: $keys"
    for key in $keys Escape; do
        grep -q "^\.B[IR]* .*\b$key\b" <<<"$page" || fail "the window's manual page does not list $key"
    done
    "$usr/bin/qmx58-probe" --version | grep -qx "qmx58-probe ${QMX_FILE_VERSION%.*}" || fail "staged qmx58-probe"
    ;;

metadata)
    stage "$scratch/s"
    usr=$scratch/s/usr
    metainfo=$usr/share/metainfo/$QMX_APPSTREAM_ID.metainfo.xml
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate --no-net --pedantic "$metainfo" >"$scratch/as.log" 2>&1 || fail "appstreamcli: $(cat "$scratch/as.log")"
    else
        echo "appstreamcli missing (package appstream): metadata not validated"
    fi
    grep -qx "  <id>$QMX_APPSTREAM_ID</id>" "$metainfo" || fail "the metadata's ID is not its file name"
    launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
    [ -f "$usr/share/applications/$launchable" ] || fail "the metadata launches '$launchable'"
    # The screenshots: files of docs/ under the home page's docs/, one of them the default.
    home=$(sed -n 's|.*<url type="homepage">\(.*\)</url>.*|\1|p' "$metainfo")
    images=$(sed -n 's|.*<image>\(.*\)</image>.*|\1|p' "$metainfo")
    [ -n "$images" ] && grep -q '<screenshot type="default">' "$metainfo" || fail "no default screenshot"
    for url in $images; do
        [ "${url%/*}/" = "${home}docs/" ] && [ -f "$QMX_SOURCE_DIR/docs/${url##*/}" ] || fail "screenshot $url is not a file of docs/ at $home"
    done
    # One version everywhere: the programs' file version, the changelog's last entry, the
    # metadata's newest release.
    doc=$usr/share/doc/qmx58-probe
    gzip -t "$doc/changelog.gz" || fail "changelog.gz"
    top=$(gzip -dc "$doc/changelog.gz" | head -n 1)
    [[ $top =~ ^qmx58-probe\ \(([^\)]*)\)\ [a-z-]+\;\ urgency=[a-z]+$ ]] && [ "${BASH_REMATCH[1]}" = "$QMX_FILE_VERSION" ] ||
        fail "the changelog's last entry is '$top', the version $QMX_FILE_VERSION"
    if command -v dpkg-parsechangelog >/dev/null; then
        gzip -dc "$doc/changelog.gz" >"$scratch/changelog"
        [ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version 2>&1)" = "$QMX_FILE_VERSION" ] || fail "dpkg-parsechangelog: $(dpkg-parsechangelog -l "$scratch/changelog" 2>&1)"
    fi
    release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)
    [ "$release" = "$QMX_FILE_VERSION" ] || fail "the metadata's newest release is $release"
    # The copyright file in the machine-readable format: every file covered, every licence
    # with its text.
    head -n 1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
        awk '/^Files: \*$/ { f = 1 } f && /^License: [^ ]+$/ { l = 1; next } l && /^ [^ ]/ { t = 1 } END { exit !(f && l && t) }' "$doc/copyright" ||
        fail "the copyright file is not in the machine-readable format"
    ;;

demo)
    stage "$scratch/s"
    bin=$scratch/s/usr/bin
    make_home "$scratch/home"
    unset QMX_SERVER_PORT
    # A command against the simulator: it finds the simulated crates; the simulator is gone
    # when it ends, and so is its port.
    out=$("$bin/qmx58-probe-demo" --fast qmx58-probe scan 2>"$scratch/demo.log") || fail "qmx58-probe-demo: $(cat "$scratch/demo.log")"
    grep -q SIM- <<<"$out" || fail "no simulated crate in: $out"
    port=$(sed -n 's/.*on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch/demo.log")
    [ -n "$port" ] || fail "no port in: $(cat "$scratch/demo.log")"
    listening() { awk -v p=":$(printf %04X "$1")" '$2 ~ p"$" && $4 == "0A" { f = 1 } END { exit !f }' /proc/net/tcp; }
    ! listening "$port" && ! pgrep -f "^$bin/qmx-crate-server" >/dev/null || fail "the simulator outlived the command"
    # The window against it: connected to the simulator's port; when the window ends (killed,
    # as it has no command to quit), the launcher stops the simulator.
    QT_QPA_PLATFORM="offscreen:configfile=$scratch/screen.json" "$bin/qmx58-probe-demo" 2>"$scratch/demo.log" &
    launcher=$!
    pids+=("$launcher")
    for i in $(seq 601); do
        QMX_SERVER_PORT=$(sed -n 's/.*on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch/demo.log")
        [ -n "$QMX_SERVER_PORT" ] && connected && break
        kill -0 "$launcher" 2>/dev/null || fail "the launcher ended: $(cat "$scratch/demo.log")"
        [ "$i" -lt 601 ] || fail "the window never connected to the simulator"
        sleep 0.1
    done
    window=$(pgrep -P "$launcher" -f "$bin/Qmx58_Probe_User") || fail "no window under the launcher"
    kill "$window"
    wait "$launcher" 2>/dev/null || true
    ! listening "$QMX_SERVER_PORT" && ! pgrep -f "^$bin/qmx-crate-server" >/dev/null || fail "the simulator outlived the window"
    # A launcher killed outright takes the simulator with it.
    "$bin/qmx58-probe-demo" sleep 60 2>"$scratch/demo.log" &
    launcher=$!
    pids+=("$launcher")
    for i in $(seq 100); do
        child=$(pgrep -P "$launcher" -fx "sleep 60") && break
        [ "$i" -lt 100 ] || fail "no command under the launcher: $(cat "$scratch/demo.log")"
        sleep 0.1
    done
    kill -KILL "$launcher"
    wait "$launcher" 2>/dev/null || true
    kill "$child"
    for i in $(seq 50); do
        pgrep -f "^$bin/qmx-crate-server" >/dev/null || break
        [ "$i" -lt 50 ] || fail "the simulator outlived a killed launcher"
        sleep 0.1
    done
    # A simulator that cannot start is reported, and nothing else runs.
    rc=0
    "$bin/qmx58-probe-demo" --rig "$scratch/no-such.rig" true 2>"$scratch/demo.log" || rc=$?
    [ "$rc" = 1 ] && grep -q "no-such.rig" "$scratch/demo.log" || fail "a missing rig gave $rc: $(cat "$scratch/demo.log")"
    ;;

hardening)  # what Debian's compiler and linker flags leave in each shipped binary
    if [ "$QMX_SANITIZED" = 1 ]; then skip "a sanitizer build keeps its own flags"; fi
    stage "$scratch/s"
    usr=$scratch/s/usr
    programs="$usr/bin/Qmx58_Probe_User $usr/bin/qmx58-probe $usr/bin/qmx-crate-server"
    libraries="$usr/$QMX_PRIVATE_LIBDIR/libqmxapi.so $usr/$QMX_PRIVATE_LIBDIR/libqmx58api.so"
    optimised=0
    case $QMX_BUILD_TYPE in Release | RelWithDebInfo | MinSizeRel) optimised=1 ;; esac
    x86=0
    [ "$(uname -m)" = x86_64 ] && x86=1
    for file in $programs $libraries; do
        name=${file##*/}
        # (Read whole before grep -q: an early end of the pipe would fail it under pipefail.)
        dynamic=$(readelf -dW "$file") dynsyms=$(readelf --dyn-syms -W "$file")
        grep -q '^ *GNU_RELRO ' <<<"$(readelf -lW "$file")" || fail "$name: no RELRO"
        grep -Eq '\((FLAGS|FLAGS_1)\).*\bNOW\b' <<<"$dynamic" || fail "$name: no immediate binding (-z now)"
        grep -Eq ' UND __stack_chk_fail(@|$)' <<<"$dynsyms" || fail "$name: no stack protector"
        if [ "$x86" = 1 ]; then
            # -fstack-clash-protection: a frame larger than a page is taken a page at a time,
            # each touched (sub $0x1000,%rsp; orq $0x0,(%rsp)), never in one step.
            for size in $(objdump -d --no-show-raw-insn "$file" | grep -oE 'sub +\$0x[0-9a-f]{1,8},%rsp' | grep -oE '0x[0-9a-f]+' | sort -u); do
                [ $((size)) -le 4096 ] || fail "$name: a frame of $((size)) bytes taken in one step"
            done
            # -fcf-protection: the entry points start with endbr64.
            if [[ $name == *.so ]]; then
                entries=$(awk '$4 == "FUNC" && $7 != "UND" && n++ < 5 { sub(/@.*/, "", $8); print $8 }' <<<"$dynsyms")
            else
                entries=main
            fi
            for entry in $entries; do
                first=$(objdump -d --no-show-raw-insn --disassemble="$entry" "$file" | awk -v e="<$entry>:" '$2 == e && !n++ { getline; print $2 }')
                [ "$first" = endbr64 ] || fail "$name: $entry starts with '$first', not endbr64"
            done
        fi
    done
    for file in $programs; do
        grep -q 'Type: *DYN' <<<"$(readelf -hW "$file")" && grep -Eq '\(FLAGS_1\).*\bPIE\b' <<<"$(readelf -dW "$file")" ||
            fail "${file##*/}: not PIE"
        # FORTIFY: at least one libc call in its checked form. (The libraries have no call
        # whose buffer size the compiler knows: see packaging/lintian-overrides.)
        if [ "$optimised" = 1 ]; then
            grep -Eq ' UND __[a-z0-9_]+_chk(@|$)' <<<"$(readelf --dyn-syms -W "$file")" ||
                fail "${file##*/}: no fortified function"
        fi
    done
    # What the binaries cannot show for sure (stack clash protection where no frame is larger
    # than a page, FORTIFY in the libraries): every compilation of the build had the flags.
    flags="-fstack-protector-strong -fstack-clash-protection"
    [ "$x86" = 1 ] && flags="$flags -fcf-protection"
    [ "$optimised" = 1 ] && flags="$flags -D_FORTIFY_SOURCE=[23]"
    for flag in $flags; do
        missing=$(grep '"command":' "$QMX_BUILD_DIR/compile_commands.json" | grep -v -e " $flag " | grep -o ' -o [^ ]*' | head -n 3 || true)
        [ -z "$missing" ] || fail "compiled without $flag:$missing"
    done
    if command -v hardening-check >/dev/null; then
        # Debian 12's C start-up files carry no CET marking, so no binary linked with them does:
        # control-flow protection is checked above instead.
        opts=(--nocfprotection)
        [ "$optimised" = 1 ] || opts+=(--nofortify)
        hardening-check "${opts[@]}" $programs >"$scratch/hc.log" 2>&1 || fail "$(cat "$scratch/hc.log")"
        hardening-check "${opts[@]}" --nofortify $libraries >"$scratch/hc.log" 2>&1 || fail "$(cat "$scratch/hc.log")"
    else
        echo "hardening-check missing (package devscripts): ELF checks only"
    fi
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
    # The extended description fits 80 columns (dpkg indents it by one).
    long=$(f Description | awk 'NR > 1 && length($0) > 80')
    [ -z "$long" ] || fail "description lines over 80 columns: $long"
    # lintian: no tag at any level; the overridden ones have their reasons in
    # packaging/lintian-overrides.
    if command -v lintian >/dev/null; then
        lintian --pedantic -I -E --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 || true
        tags=$(grep -E '^[EWIPX]: ' "$scratch/lintian.log" || true)
        [ -z "$tags" ] || fail "lintian: $tags"
    else
        echo "lintian missing (package lintian): the package not checked by it"
    fi
    ;;
*) fail "unknown case $1" ;;
esac
echo "OK: $1"
