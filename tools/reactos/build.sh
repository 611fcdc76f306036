#!/usr/bin/env bash
# Builds ReactOS's unattended-setup CD (bootcdregtest.iso) from a pinned commit into a cache
# outside the repository, for the ReactOS test ground (tools/reactos/run.py, docs/reactos.md).
#
#   tools/reactos/build.sh [--git DIR] [--print-cache]
#
# The source comes from a git directory holding the pinned commit: --git DIR, else
# $TAVRIN_REACTOS_GIT, else ~/src/reactos, else the snapshot fetched into /work/.mirror (see
# docs/reactos.md). The cache is $TAVRIN_REACTOS_CACHE (default ~/.cache/tavrin-reactos)/<commit>;
# a finished build leaves <cache>/bootcdregtest.iso and <cache>/build.done, and a second run only
# says where it is. Nothing of ReactOS is ever written into this repository.
#
# Debian 12's MinGW-w64 tools build that commit with six adjustments of the build environment and
# none of ReactOS's sources; each is made below by a wrapper under <cache>/wrap.
set -euo pipefail

PIN=7432f4e9d959aef63f10a7f4aa9ebd56b1403f6a
SHORT=${PIN:0:11}
CACHE_ROOT=${TAVRIN_REACTOS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-reactos}
CACHE=$CACHE_ROOT/$SHORT
GIT_DIR_ARG=${TAVRIN_REACTOS_GIT:-}
PACKAGES=(cmake ninja-build bison flex g++-mingw-w64-i686 binutils-mingw-w64-i686 dpkg-dev)

while [ $# -gt 0 ]; do
  case $1 in
    --git) GIT_DIR_ARG=$2; shift 2 ;;
    --print-cache) echo "$CACHE"; exit 0 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "build.sh: unknown argument '$1' (--help)" >&2; exit 2 ;;
  esac
done

say() { printf '[reactos-build %s] %s\n' "$(date +%H:%M:%S)" "$*"; }
die() { printf '[reactos-build] FAILED: %s\n' "$*" >&2; exit 1; }

if [ -f "$CACHE/build.done" ] && [ -f "$CACHE/bootcdregtest.iso" ]; then
  say "cached: $CACHE/bootcdregtest.iso (commit $SHORT)"
  exit 0
fi

missing=()
for p in "${PACKAGES[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "missing Debian packages: ${missing[*]} (install them as root)"
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null \
    || die "apt-get install ${missing[*]}"
fi

# --- the source -------------------------------------------------------------------------------
find_git() {
  local d
  for d in "$GIT_DIR_ARG" "$HOME/src/reactos" /work/.mirror/*reactos/repo; do
    [ -n "$d" ] && [ -e "$d" ] || continue
    if git --git-dir="$d" cat-file -e "$PIN^{commit}" 2>/dev/null \
       || git -C "$d" cat-file -e "$PIN^{commit}" 2>/dev/null; then
      echo "$d"; return 0
    fi
  done
  return 1
}
SRC=$CACHE/src
mkdir -p "$CACHE"
if [ ! -f "$CACHE/src.done" ]; then
  GITD=$(find_git) || die "no git directory holding ReactOS commit $SHORT: clone it (docs/reactos.md) and pass --git DIR or set TAVRIN_REACTOS_GIT"
  [ -d "$GITD/.git" ] && GITD=$GITD/.git
  say "source: commit $SHORT from $GITD"
  rm -rf "$SRC" && mkdir -p "$SRC"
  idx=$(mktemp)
  GIT_INDEX_FILE=$idx git --git-dir="$GITD" read-tree "$PIN"
  # A shallow snapshot may lack the largest blobs; leave those out and supply what the build needs.
  mapfile -t absent < <(GIT_INDEX_FILE=$idx git --git-dir="$GITD" ls-files -s \
    | awk '{print $2" "$4}' | while read -r obj path; do
        git --git-dir="$GITD" cat-file -e "$obj" 2>/dev/null || echo "$path"; done)
  for path in "${absent[@]}"; do
    say "absent from the snapshot: $path"
    GIT_INDEX_FILE=$idx git --git-dir="$GITD" --work-tree="$SRC" update-index --force-remove -- "$path"
  done
  GIT_INDEX_FILE=$idx git --git-dir="$GITD" --work-tree="$SRC" checkout-index -a -f
  rm -f "$idx"
  touch "$CACHE/src.done"
fi

# Adjustment 6: libsamplerate's high-quality coefficient table (over 4 MiB, absent from the snapshot
# the project uses) comes from Debian's source of the same library.
COEFFS=sdk/lib/3rdparty/libsamplerate/high_qual_coeffs.h
if [ ! -f "$SRC/$COEFFS" ]; then
  say "taking $COEFFS from Debian's libsamplerate source"
  t=$(mktemp -d)
  mkdir -p "$t/lists/partial"
  echo 'deb-src http://deb.debian.org/debian bookworm main' > "$t/src.list"
  apto=(-o "Dir::Etc::SourceList=$t/src.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$t/lists" -o APT::Sandbox::User=root)
  (cd "$t" && apt-get "${apto[@]}" update >/dev/null && apt-get "${apto[@]}" source libsamplerate >/dev/null) \
    || die "apt-get source libsamplerate (needs the network to Debian's archive)"
  f=$(find "$t" -path '*/src/high_qual_coeffs.h' | head -1)
  [ -n "$f" ] || die "Debian's libsamplerate source has no src/high_qual_coeffs.h"
  cp "$f" "$SRC/$COEFFS"
  rm -rf "$t"
fi

# --- the wrappers -----------------------------------------------------------------------------
WRAP=$CACHE/wrap
T=i686-w64-mingw32
rm -rf "$WRAP" && mkdir -p "$WRAP/lib"
for tool in as dlltool windres windmc objcopy objdump nm ranlib strip ld cpp gcc-ar; do
  [ -x "/usr/bin/$T-$tool" ] && ln -s "/usr/bin/$T-$tool" "$WRAP/$T-$tool"
done
# Adjustment 1: ld 2.40 crashes on thin archives (ar crT); make ordinary ones. A thin archive
# takes the members of an archive given as input (import libraries are merged that way), so an
# ordinary one must too: then an MRI script adds each input archive's members (ADDLIB). Member
# order matters where two members define one symbol (ReactOS's CRT has such pairs), and each MRI
# line puts what it adds in front, so the lines go last input first.
cat > "$WRAP/$T-ar" <<AR
#!/bin/bash
mode=\$1; shift
case \$mode in *T*) ;; *) exec /usr/bin/$T-ar "\$mode" "\$@" ;; esac
out=\$1; shift
nested=0
for f; do [ "\$(head -c 7 "\$f" | tr -d '\\0')" = '!<arch>' ] && nested=1; done
rm -f "\$out"
# Objects only: appended in order (q: a second object of the same name is kept, as thin keeps it).
[ \$nested = 0 ] && exec /usr/bin/$T-ar qcs "\$out" "\$@"
lines=()
for f; do
  if [ "\$(head -c 7 "\$f" | tr -d '\\0')" = '!<arch>' ]; then lines=("ADDLIB \$f" "\${lines[@]}")
  else lines=("ADDMOD \$f" "\${lines[@]}"); fi
done
{ echo "CREATE \$out"; printf '%s\n' "\${lines[@]}"; echo SAVE; echo END; } | /usr/bin/$T-ar -M
AR
# The compilers are Debian's Win32-threads variants, whatever the system's alternative says.
# Adjustments 2-5: GCC 12's new warnings are not errors; no dominator optimisation for the one
# file GCC 12.2 crashes on. Debian keeps the unwinder (_Unwind_Resume, __emutls_get_address) in
# libgcc_eh.a, which ReactOS does not link, and ReactOS's msvcrt exports rand_s only for newer
# versions while three programs call it. Linking libgcc_eh into everything breaks hundreds of
# links (the unwinder then comes along and wants the C library's threads), so a link that fails
# for want of exactly those is made again with them: libgcc_eh and a rand_s that fails as rand_s
# fails (EINVAL), in libextra.a, and the link's libraries named again after it.
for cc in gcc g++; do
  cat > "$WRAP/$T-$cc" <<CC
#!/bin/bash
real=/usr/bin/$T-$cc-win32
extra=(-Wno-error)
for a; do case \$a in *winapi_thunks.cpp) extra+=(-fno-tree-dominator-opts) ;; esac; done
for a; do
  case \$a in -c|-S|-E|-M|-MM|-print-*|-dump*|--version|-v|-###) exec "\$real" "\$@" "\${extra[@]}" ;; esac
done
err=\$(mktemp)
if "\$real" "\$@" "\${extra[@]}" 2>"\$err"; then cat "\$err" >&2; rm -f "\$err"; exit 0; fi
if ! grep -Eq "undefined reference to .(_imp__)?(_Unwind_Resume|__emutls_get_address|rand_s)'" "\$err"; then
  cat "\$err" >&2; rm -f "\$err"; exit 1
fi
rm -f "\$err"
again=()
for a; do case \$a in *.a) again+=("\$a") ;; esac; done
exec "\$real" "\$@" "\${extra[@]}" "$WRAP/lib/libextra.a" "\${again[@]}" "$WRAP/lib/libextra.a" -lgcc
CC
done
chmod +x "$WRAP/$T-ar" "$WRAP/$T-gcc" "$WRAP/$T-g++"
gccdir=$(dirname "$(/usr/bin/$T-gcc-win32 -print-libgcc-file-name)")
printf '%s\n' 'int rand_s(unsigned int *value) { (void)value; return 22; }' \
  'int (*_imp__rand_s)(unsigned int *) = rand_s;  /* as a DLL import would be reached */' \
  > "$WRAP/lib/rand_s.c"
/usr/bin/$T-gcc-win32 -O2 -c "$WRAP/lib/rand_s.c" -o "$WRAP/lib/rand_s.o"
printf 'CREATE %s\nADDLIB %s\nADDMOD %s\nSAVE\nEND\n' "$WRAP/lib/libextra.a" \
  "$gccdir/libgcc_eh.a" "$WRAP/lib/rand_s.o" | /usr/bin/$T-ar -M

# --- configure and build ----------------------------------------------------------------------
OUT=$CACHE/build
# A build stopped half-way goes on where it stopped (ninja); a removed CMakeCache.txt configures
# it again in place.
if [ ! -f "$OUT/build.ninja" ] || [ ! -f "$OUT/CMakeCache.txt" ]; then
  say "configuring into $OUT"
  mkdir -p "$OUT"
  (cd "$OUT" && cmake -G Ninja -DENABLE_CCACHE:BOOL=0 -DCMAKE_TOOLCHAIN_FILE:FILEPATH=toolchain-gcc.cmake \
     -DARCH:STRING=i386 -DMINGW_TOOLCHAIN_PREFIX="$WRAP/$T-" -DCMAKE_AR="$WRAP/$T-ar" "$SRC" \
     > "$CACHE/configure.log" 2>&1) || die "cmake configure (log: $CACHE/configure.log)"
fi
say "building bootcdregtest (about 20 minutes on 2 cores; log: $CACHE/build.log)"
start=$(date +%s)
(cd "$OUT" && ninja -k 0 -j"${JOBS:-$(nproc)}" bootcdregtest > "$CACHE/build.log" 2>&1) \
  || { tail -30 "$CACHE/build.log" >&2; die "ninja bootcdregtest (log: $CACHE/build.log)"; }
cp "$OUT/bootcdregtest.iso" "$CACHE/bootcdregtest.iso"
echo "$PIN built in $(( $(date +%s) - start )) s on $(nproc) cores, $(date -u +%FT%TZ)" > "$CACHE/build.done"
say "built: $CACHE/bootcdregtest.iso ($(cat "$CACHE/build.done"))"
