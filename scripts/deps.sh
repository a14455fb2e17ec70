#!/usr/bin/env bash
# Installs, from Debian's packages, whatever building and testing need and is missing.
#   scripts/deps.sh build   compilers, the test framework, the disc image maker and what
#                           disckit's Debian package is made and checked with
#   scripts/deps.sh wine    also Wine, Xvfb and what the end-to-end runs need (the default)
#   scripts/deps.sh wine --emulate-32bit
#                           also run 32-bit x86 code under user-mode emulation where it would run
#                           natively, to try the slow path on a fast machine. It stays so for
#                           the whole machine until: echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
set -euo pipefail
want=${1:-wine}
emulate=
[ "${2:-}" = --emulate-32bit ] && emulate=1
export DEBIAN_FRONTEND=noninteractive

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=
update() { [ -n "$updated" ] || { apt-get update -q >/dev/null; updated=1; }; }
install() {
  local need=() p
  for p in "$@"; do have "${p%%/*}" || need+=("$p"); done
  [ ${#need[@]} -eq 0 ] && return
  echo "deps: installing ${need[*]}"
  update
  apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
}

# ninja-build: what the presets and the checks' own builds build with.
# mingw-w64-i686-dev: its import libraries are also a source of the table of Windows's libraries.
# clang and libclang-rt-14-dev (libFuzzer's runtime): the fuzzing in scripts/check-sanitizers.sh.
# nlohmann-json3-dev: the native disckit reads the trial driver's observations with it.
# libtomlplusplus-dev (header only): both builds of disckit read the project file disckit.toml with it.
# python3-yaml: the docs' test reads the CI examples in doc/ci.
# libgumbo-dev: the native disckit check parses the disc's pages with it.
# nsis, python3-distlib, libz-mingw-w64: real Windows files that nobody here wrote, for the corpus
# test of check (tests/kit_pe_corpus_test.cpp; Wine's own files come with wine below).
install cmake ninja-build make g++ libgtest-dev libgmock-dev python3 valgrind g++-mingw-w64-i686 \
  binutils-mingw-w64-i686 mingw-w64-i686-dev xorriso dpkg-dev file lintian osslsigncode openssl \
  pkg-config clang libclang-rt-14-dev nlohmann-json3-dev libtomlplusplus-dev python3-yaml \
  libgumbo-dev nsis python3-distlib libz-mingw-w64
[ "$want" = wine ] || exit 0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  updated=
fi
# bubblewrap contains what disckit trial runs of a disc (prlimit, from util-linux, bounds each
# process in it; python3-seccomp compiles its system call filter).
install wine wine32:i386 wine64 xvfb xauth x11-apps imagemagick locales bubblewrap util-linux python3-seccomp chromium
# slurm-wlm and munge: the end-to-end test that spreads a trial matrix over an array job runs a
# one-node Slurm of its own.
install slurm-wlm munge

# Some machines (paravirtualised ones among them) cannot run 32-bit x86 code at all. There the
# 32-bit half of Wine runs under user-mode emulation. The emulator of the stable release spends
# about a minute setting up each 32-bit process; the one from backports needs about a second.
# Registered for i386 executables, the emulator takes precedence over the native loader.
if [ -n "$emulate" ] || ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 ||
   [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  src=/etc/apt/sources.list.d/bookworm-backports.sources
  if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' > "$src"
    updated=
  fi
  version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
  if [ -z "$version" ] || dpkg --compare-versions "$version" lt 1:9; then
    echo "deps: installing qemu-user-static from bookworm-backports"
    update
    apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null
  fi
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  # Registered afresh each time: with the F flag the kernel keeps the emulator binary that was
  # there when it was registered, which may be the slow one.
  [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
  echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FOC' \
    > /proc/sys/fs/binfmt_misc/register
  /lib/ld-linux.so.2 --version >/dev/null
fi

# Wine converts file names through the Unix locale: the Japanese scenario needs this one.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  for l in de_DE tr_TR zh_CN en_US; do
    grep -q "^$l.UTF-8 UTF-8" /etc/locale.gen || echo "$l.UTF-8 UTF-8" >> /etc/locale.gen
  done
  locale-gen >/dev/null
fi
