# Helpers that the project's scripts share (sourced by bash scripts): the build directory,
# libfaketime as the build preloads it, the one-engine configuration, a script's copy for the
# sandbox, Debian's packages of another architecture unpacked into a sysroot, Debian's source
# packages, and the emulator for the target's programs.
# shellcheck shell=bash

# The build directory for the repository $root, named with $suffix. The tests mount a fresh
# /tmp in their sandbox, which would hide a build tree under /tmp.
# shellcheck disable=SC2154 # root and suffix: the sourcing script's
build_dir() {
    case "$root/" in
        /tmp/*) echo "/var/tmp/watchd-build-$(printf %s "$root" | cksum | cut -d' ' -f1)$suffix" ;;
        *) echo "$root/build$suffix" ;;
    esac
}

# libfaketime as the build in $1 preloads it in its tests (the build's preload.env, checked
# against the build target when the build was configured); without that file, the one in the
# default compiler's own library directory.
faketime_lib() {
    local WATCHD_FAKETIME_LIB=""
    # shellcheck disable=SC1091 # written by the build
    [ ! -e "$1/preload.env" ] || . "$1/preload.env"
    echo "${WATCHD_FAKETIME_LIB:-/usr/lib/$(gcc -print-multiarch)/faketime/libfaketime.so.1}"
}

# The daemon's configuration with the one watched program $1.
one_engine_config() {
    printf '{"__watch":{"processes":[{"base":"%s"}]}}\n' "$1"
}

# Copies the running script to the file $1, with the helpers it sources beside it, for a run in
# the sandbox, whose fresh /tmp would hide a clone under /tmp.
copy_for_sandbox() {
    install -m 0755 "$0" "$1"
    cp "$root/scripts/lib.sh" "$root/scripts/judge.sh" "$(dirname "$1")/"
}

# Sets target_apt to the options of an apt state of its own in the directory $2, which knows
# architecture $1 alone (the host's sources, lists and dpkg stay as they are), and updates its
# lists.
target_apt_state() {
    local arch=$1 state=$2
    rm -rf "$state"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
    : > "$state/status"
    target_apt=(-o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
                -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
                -o "Dir::Cache=$state/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    apt-get "${target_apt[@]}" update -qq
}

# Debian's packages of architecture $1 with everything they depend on (only those named, after
# --exact), downloaded and unpacked into the directory $2, never installed on the host.
unpack_target_packages() {
    local arch=$1 sysroot=$2 state=$2.apt deb recurse=1
    shift 2
    [ "$1" != --exact ] || { recurse=""; shift; }
    local stamp
    stamp=$sysroot/.complete-$(echo "$*" | cksum | cut -d' ' -f1)
    [ -e "$stamp" ] && return 0
    mkdir -p "$sysroot"
    target_apt_state "$arch" "$state"
    local closure=$*
    [ -z "$recurse" ] || closure=$(apt-cache "${target_apt[@]}" depends --recurse --no-recommends \
        --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances "$@" |
        grep -v '^[ <]' | sort -u)
    # shellcheck disable=SC2086 # one word per package
    (cd "$state/debs" && apt-get "${target_apt[@]}" download -qq $closure)
    for deb in "$state"/debs/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
    done
    # Links to a library's place on the target (libz.so -> /lib/...) would name the host's file
    # or none here, and the linker would fall back to the static archive: point them inside.
    local link target
    while IFS= read -r link; do
        target=$(readlink "$link")
        case $target in "$sysroot"/*) ;; *) ln -sfn "$sysroot$target" "$link" ;; esac
    done < <(find "$sysroot" -type l -lname '/*')
    rm -rf "$state"
    touch "$stamp"
}

# musl-dev:mipsel unpacked into the sysroot $1, its specs file pointed there; sets musl_specs.
unpack_mipsel_musl() {
    local sysroot=$1
    musl_specs=$sysroot/usr/lib/mipsel-linux-musl/musl-gcc.specs
    unpack_target_packages mipsel "$sysroot" --exact musl musl-dev
    # musl's specs file names its files by their place on the target system.
    sed -i "s#\([ L]\)/usr/\(lib\|include\)/mipsel-linux-musl#\1$sysroot/usr/\2/mipsel-linux-musl#g" \
        "$musl_specs"
    # The shared library is the loader, in /lib, where the specs file does not look (on the
    # host /lib is /usr/lib): linked without it, the library would be libc.a's copy.
    ln -sfn ../../../lib/mipsel-linux-musl/libc.so "$sysroot/usr/lib/mipsel-linux-musl/libc.so"
}

# Runs the target's programs through qemu-user: binfmt_misc mounted when absent, and the
# emulator enabled there. Exits 77 with the reason where the machine refuses.
register_emulator() {
    local fs=/proc/sys/fs/binfmt_misc name=qemu-$1
    if [ ! -e "$fs/register" ] && ! mount -t binfmt_misc binfmt_misc "$fs" 2>/dev/null; then
        echo "cannot mount binfmt_misc on $fs: no $1 programs can run here" >&2
        exit 77
    fi
    grep -qx enabled "$fs/$name" 2>/dev/null || update-binfmts --enable "$name" 2>/dev/null ||
        update-binfmts --import "$name" 2>/dev/null || true
    if ! grep -qx enabled "$fs/$name" 2>/dev/null; then
        echo "binfmt_misc refused the emulator $name: no $1 programs can run here" >&2
        exit 77
    fi
}

# The source package that Debian built the host's package $1 from, of the same version,
# unpacked into $2: apt-get source with deb-src entries for the host's own Debian sources, in an
# apt state of its own.
fetch_debian_source() {
    local package=$1 dir=$2 state=$2.apt source file
    source=$(dpkg-query -W -f='${source:Package}=${source:Version}' "$package")
    [ "$(cat "$dir/.complete" 2>/dev/null)" = "$source" ] && return 0
    rm -rf "$dir" "$state"
    mkdir -p "$dir" "$state/lists/partial" "$state/cache/archives/partial" "$state/parts"
    : > "$state/status"
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        > "$state/sources.list" 2>/dev/null || true
    for file in /etc/apt/sources.list.d/*.sources; do
        [ ! -e "$file" ] || sed 's/^Types: deb$/Types: deb-src/' "$file" > "$state/parts/${file##*/}"
    done
    local apt=(-o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
               -o "Dir::Cache=$state/cache" -o "Dir::Etc::sourcelist=$state/sources.list"
               -o "Dir::Etc::sourceparts=$state/parts" -o Debug::NoLocking=1
               -o APT::Sandbox::User=root)
    apt-get "${apt[@]}" update -qq
    (cd "$dir" && apt-get "${apt[@]}" source -qq "$source")
    echo "$source" > "$dir/.complete"
}
