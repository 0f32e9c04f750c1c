#!/usr/bin/env bash
# The Debian package end to end: built by CPack from this build tree, unpacked with
# dpkg -x into a temporary root, and run from there against the packaged phonesim.
#   tst_package.sh CPACK BUILD_DIR WORK_DIR VERSION
set -euo pipefail
cpack=$1 build=$2 work=$3 version=$4

fail() { echo "FAIL: $*" >&2 && exit 1; }
step() { echo "== $*"; }

# A previous run may have left read-only folders behind.
[ -d "$work" ] && chmod -R u+w "$work"
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
root=$work/root

# Nothing of the user's own: home, settings, data and the component registry are ours.
export HOME=$work/home
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export LC_ALL=C.UTF-8

phone_pid=""
cleanup() {
    if mountpoint -q "$work/mnt" 2>/dev/null; then
        fusermount3 -u "$work/mnt" || umount -l "$work/mnt" || true
    fi
    if [ -n "$phone_pid" ]; then
        kill "$phone_pid" 2>/dev/null || true
        wait "$phone_pid" 2>/dev/null || true
    fi
    [ -d "$root" ] && chmod -R u+w "$root"
    return 0
}
trap cleanup EXIT

step "building the package with CPack"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    fail "cpack did not build the package"
}
deb=$work/cpack/tarvel_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$work/cpack")"

step "control fields"
[ "$(dpkg-deb -f "$deb" Package)" = tarvel ] || fail "Package is not tarvel"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libqt6core6 libqt6widgets6 libqt6serialport6 libfuse3-3; do
    [[ $depends == *"$library "* ]] || fail "Depends lacks $library: $depends"
done
# tarvel-mount mounts through fusermount3, which no library brings.
[[ $depends =~ (^|, )fuse3(,|$) ]] || fail "Depends lacks fuse3: $depends"
for field in Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field field"
done

step "contents"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
for file in /usr/bin/tarvel /usr/bin/tarvel-cli /usr/bin/tarvel-mount /usr/bin/phonesim /usr/lib/tarvel/libsumlet.so \
    /usr/share/applications/tarvel.desktop /usr/share/icons/hicolor/scalable/apps/tarvel.svg \
    /usr/share/man/man1/tarvel.1.gz /usr/share/man/man1/tarvel-cli.1.gz /usr/share/man/man1/tarvel-mount.1.gz \
    /usr/share/man/man1/phonesim.1.gz /usr/share/bash-completion/completions/tarvel-cli \
    /usr/share/bash-completion/completions/tarvel-mount /usr/share/bash-completion/completions/phonesim \
    /usr/share/doc/tarvel/copyright /usr/share/doc/tarvel/changelog.gz; do
    grep -qxF "$file" "$work/contents" || fail "the package lacks $file"
done
if grep -v '^/usr/' "$work/contents" | grep -q .; then
    fail "files outside /usr: $(grep -v '^/usr/' "$work/contents" | tr '\n' ' ')"
fi
if grep -E '/tst_|tarvel-build-tree|/bench|fuzz_' "$work/contents"; then
    fail "test or build-tree files in the package"
fi

dpkg -x "$deb" "$root"

step "no build-tree paths in the installed programs"
for elf in "$root"/usr/bin/* "$root"/usr/lib/tarvel/libsumlet.so; do
    if readelf -d "$elf" | grep -Eq 'RPATH|RUNPATH'; then
        fail "$elf carries a library search path: $(readelf -d "$elf" | grep -E 'RPATH|RUNPATH')"
    fi
done

step "changelog and metainfo"
zcat "$root/usr/share/doc/tarvel/changelog.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's latest entry is not $version"
desktop-file-validate "$root/usr/share/applications/tarvel.desktop" || fail "desktop-file-validate"
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml)
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q '<launchable type="desktop-id">tarvel.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch tarvel.desktop"

step "manual pages, completion and --help agree"
complete_words() { # SCRIPT FUNCTION WORD... : the completions of the last word
    local script=$1 function=$2
    shift 2
    bash --norc --noprofile -c 'compopt() { :; }
        source "$1"; function=$2; shift 2
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); "$function"; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$script" "$function" "$@"
}
for tool in tarvel-cli tarvel-mount phonesim; do
    page=$root/usr/share/man/man1/$tool.1.gz
    warnings=$(man --warnings -P cat -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $tool: $warnings"
    MANWIDTH=200 man -P cat -l "$page" 2>/dev/null >"$work/$tool.man"
    "$root/usr/bin/$tool" --help >"$work/$tool.help" || fail "$tool --help"
    completion=$root/usr/share/bash-completion/completions/$tool
    function=$(bash --norc --noprofile -c 'source "$1"; complete -p "$2"' _ "$completion" "$tool" |
        sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    [ -n "$function" ] || fail "sourcing $completion registers no completion for $tool"
    complete_words "$completion" "$function" "$tool" -- >"$work/$tool.options"
    for option in $(grep -oE -- '--[a-z][a-z-]+' "$work/$tool.help" | sort -u); do
        grep -qF -- "$option" "$work/$tool.man" || fail "$tool --help names $option, its manual page does not"
        grep -qxF -- "$option" "$work/$tool.options" || fail "$tool --help names $option, its completion does not"
    done
done
commands=$(sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p' "$work/tarvel-cli.help")
[ -n "$commands" ] || fail "no commands in tarvel-cli --help"
offered=$(complete_words "$root/usr/share/bash-completion/completions/tarvel-cli" _tarvel_cli tarvel-cli --port 1 "")
for command in $commands; do
    grep -qE "^ +$command( |$)" "$work/tarvel-cli.man" || fail "tarvel-cli command $command is not in its manual page"
    grep -qxF "$command" <<<"$offered" || fail "tarvel-cli command $command is not completed"
done
[ "$(complete_words "$root/usr/share/bash-completion/completions/phonesim" _phonesim phonesim --fault-on li)" = listing ] ||
    fail "phonesim --fault-on li does not complete to listing"

step "a session of the installed tarvel-cli with the installed phonesim"
# The installed programs' folders cannot be written; whatever the permissions (root
# ignores them), nothing may appear there.
chmod a-w "$root/usr/bin" "$root/usr/lib/tarvel"
(cd "$root" && find . -printf '%p %s %T@\n' | sort) >"$work/tree.before"

mkdir -p "$work/flash/Bitmap" "$work/pc"
head -c 3000 /dev/urandom >"$work/pc/upload.bin"
coproc PHONE { exec "$root/usr/bin/phonesim" --root "$work/flash" --log "$work/phone.log" 2>"$work/phone.err"; }
phone_pid=$PHONE_PID
read -r -t 10 device <&"${PHONE[0]}" || fail "the installed phonesim gave no device: $(cat "$work/phone.err")"

# One connection for both commands.
(cd "$work/pc" && "$root/usr/bin/tarvel-cli" --device "$device" ls ';' put upload.bin Bitmap) >"$work/cli.out" ||
    fail "tarvel-cli ls; put: $(cat "$work/cli.out")"
grep -qP '^Bitmap\t' "$work/cli.out" || fail "tarvel-cli ls does not list Bitmap: $(cat "$work/cli.out")"
cmp "$work/pc/upload.bin" "$work/flash/Bitmap/upload.bin" || fail "the upload differs"

step "the installed tarvel-mount with the installed phonesim"
mkdir -p "$work/mnt"
# Right after tarvel-cli: the mount waits for its leaving, at the times users get
# (scaled-down time-outs miss the phone's answers on a loaded machine).
"$root/usr/bin/tarvel-mount" --device "$device" "$work/mnt" 2>"$work/mount.err" ||
    fail "tarvel-mount did not mount: $(cat "$work/mount.err")"
cmp "$work/pc/upload.bin" "$work/mnt/Bitmap/upload.bin" || fail "the file read through the mount differs"
fusermount3 -u "$work/mnt" || fail "fusermount3 -u"
# It leaves the phone (about 2 s) after the unmount returns.
timeout 15 bash -c 'while pgrep -f "tarvel-mount --device $1" >/dev/null; do sleep 0.1; done' _ "$device" ||
    fail "tarvel-mount still runs after unmounting"

step "nothing written beside the installed programs"
(cd "$root" && find . -printf '%p %s %T@\n' | sort) >"$work/tree.after"
diff "$work/tree.before" "$work/tree.after" || fail "the session changed the installed tree"
[ -d "$XDG_DATA_HOME/tarvel" ] || fail "no working folder $XDG_DATA_HOME/tarvel"
[ ! -e "$XDG_DATA_HOME/tarvel/temp.tmp" ] || fail "the upload left its staging copy behind"
grep -qF "$root/usr/lib/tarvel/libsumlet.so" "$XDG_CONFIG_HOME/tarvel/components.ini" ||
    fail "the installed component was not the one registered: $(cat "$XDG_CONFIG_HOME/tarvel/components.ini")"
echo "package test passed: $(stat -c %s "$deb") bytes"
