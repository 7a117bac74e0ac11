#!/usr/bin/env bash
# Installs the build to a temporary prefix and checks what other tools rely
# on: the file layout, a C11 program built with pkg-config, a CMake consumer of
# kovrel::kovrel, and a shared library exporting only the BXMERIX node.
set -euo pipefail
build_dir=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

for f in include/kovrel/kovrel.h include/kovrel/cq_api.h lib/libkovrel.so lib/libkovrel.so.1 \
         lib/pkgconfig/kovrel.pc lib/cmake/kovrel/kovrelConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done

# The kovrel tool, when it was built: it finds the installed library by itself.
if [ -d "$build_dir/tools" ]; then
  for f in bin/kovrel share/man/man1/kovrel.1; do
    [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
  done
  "$prefix/bin/kovrel" --help >/dev/null
  # (grep reads a variable: with pipefail, grep -q ending early would fail ldd)
  loads=$(ldd "$prefix/bin/kovrel")
  grep -q "libkovrel.so.1 => $prefix/bin/../lib/" <<<"$loads" ||
    { echo "bin/kovrel does not load the installed library"; exit 1; }
fi

soname=$(objdump -p "$prefix/lib/libkovrel.so" | awk '/SONAME/ {print $2}')
[ "$soname" = libkovrel.so.1 ] || { echo "SONAME is '$soname', expected libkovrel.so.1"; exit 1; }

# Every defined dynamic symbol carries the BXMERIX version (the node's own
# name appears as an absolute symbol); nothing else is exported.
exported=$(nm -D --defined-only "$prefix/lib/libkovrel.so" | awk '{print $3}')
[ -n "$exported" ] || { echo "the library exports nothing"; exit 1; }
if stray=$(grep -v '@@BXMERIX$' <<<"$exported" | grep -v '^BXMERIX$'); then
  echo "symbols outside BXMERIX:"; echo "$stray"; exit 1
fi

# Every call and datum the public headers declare is exported.
declared=$(sed -n 's/^[A-Za-z_][A-Za-z0-9_ *]*[ *]\(\(kr\|xml\|cq_rpc\)_[A-Za-z0-9_]*\)(.*/\1/p; s/^extern [^;]*[ *]\(kr_[A-Za-z0-9_]*\)\(\[[0-9]*\]\)\{0,1\};/\1/p' \
           "$prefix"/include/kovrel/*.h | sort -u)
missing=$(comm -23 <(echo "$declared") <(sed 's/@@BXMERIX$//' <<<"$exported" | sort -u))
[ -z "$missing" ] || { echo "declared but not exported:"; echo "$missing"; exit 1; }

# A C11 program built only with what pkg-config says.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc -std=c11 -Wall -Werror "$here/../headers/both_headers.c" -o "$work/pc_consumer" \
   $(pkg-config --cflags --libs kovrel)
LD_LIBRARY_PATH=$prefix/lib "$work/pc_consumer"
cc -std=c11 -Wall -Werror "$here/../c_api/request_tree.c" -o "$work/request_tree" \
   $(pkg-config --cflags --libs kovrel)
LD_LIBRARY_PATH=$prefix/lib "$work/request_tree"
# The invoking programs build the same way (the network tests run them).
for program in invoke_http invoke_vav cq_session; do
  cc -std=c11 -Wall -Werror "$here/../c_api/$program.c" -o "$work/$program" \
     $(pkg-config --cflags --libs kovrel)
done

# A CMake project using the installed package.
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$prefix/lib "$work/consumer/consumer"
echo "install layout ok"
