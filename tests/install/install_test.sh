#!/usr/bin/env bash
# Installs the build into a temporary root, moves the root elsewhere (nothing may point
# back to the build or the first place), and runs the installed programs from there:
# the version, an image check and a simulated update on the installed demo image, the
# desktop entry, the manual pages, the Ansible collection, and C programs built against
# the installed nuboxlink with pkg-config and with find_package.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() {
    echo "install test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$work/first/usr" --strip >/dev/null
mv "$work/first" "$work/root"
root="$work/root/usr"
bin="$root/bin"

# Nothing installed names the build tree (a RUNPATH, a pkg-config or CMake file).
if grep -rlF "$build" "$work/root" >/dev/null; then
    fail "installed files name the build tree: $(grep -rlF "$build" "$work/root")"
fi

version="$("$bin/bootloader" --version)"
[[ "$version" =~ ^bootloader\ \(Romtide\)\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version: $version"
for program in romtide-canbus nubox-simd nubox-board-server; do
    "$bin/$program" --version | grep -q "^$program (Romtide) " || fail "$program --version"
done

demo="$root/share/romtide/demo/demo.mhx"
"$bin/bootloader" check "$demo" | grep -q "accepted" || fail "check of the demo image"

# The default simulated bus: the V1.0 device's renewal needs the installed update files
# and the hardware selection needs the installed module.
out="$("$bin/bootloader" can update --simulate --all --yes --product 498 --progress none \
    --report "$work/report.json" --report-format json "$demo" 2>&1)" ||
    fail "update on the simulated bus: $out"
grep -q "^3 of 3 device(s) updated$" <<<"$out" || fail "not every device updated: $out"
grep -q '"end": "complete"' "$work/report.json" || fail "report: $(cat "$work/report.json")"

desktop-file-validate "$root/share/applications/romtide.desktop" ||
    fail "the desktop entry does not validate"
for page in bootloader romtide-canbus nubox-simd nubox-board-server; do
    [ -s "$root/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done

# The Ansible collection where Ansible looks for the collections of every user.
collections="$root/share/ansible/collections"
doc="$(HOME="$work" ANSIBLE_COLLECTIONS_PATH="$collections" ansible-doc romtide.fieldbus.machine 2>&1)" ||
    fail "ansible-doc does not find the installed collection: $doc"
grep -qF "($collections/ansible_collections/romtide/fieldbus/plugins/modules/machine.py)" <<<"$doc" ||
    fail "ansible-doc shows another module: $(head -1 <<<"$doc")"

# A C program through pkg-config, against the installed header and library only, asks
# for a board that the installed nubox-simd serves.
libdir="$(dirname "$(find "$root" -name nuboxlink.pc)")/.."
cat >"$work/client.c" <<'C'
#include <stdio.h>
#include "nuboxlink.h"

int main(void) {
    DeviceInfo info = {0};
    unsigned r = nuBOX_GetDeviceInfo(0, &info);
    printf("result %u kind %u id 0x%X present %u\n", r, (unsigned)info.kind,
           (unsigned)info.boardId, (unsigned)info.present);
    return 0;
}
C
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -o "$work/client" "$work/client.c" $(pkg-config --cflags --libs nuboxlink) ||
    fail "the C program does not build with pkg-config"

# pkg-config and "pkg-config --define-prefix" name the moved tree's own folders, also for
# a tree whose library folder is multiarch (one built for /usr and installed elsewhere).
# check_pc PC_DIR INCLUDE_DIR LIB_DIR
check_pc() {
    local form flags include lib
    for form in "" --define-prefix; do
        # shellcheck disable=SC2086
        flags="$(PKG_CONFIG_PATH="$1" pkg-config $form --cflags --libs nuboxlink)"
        include="$(sed -n 's/.*-I\([^ ]*\).*/\1/p' <<<"$flags")"
        lib="$(sed -n 's/.*-L\([^ ]*\).*/\1/p' <<<"$flags")"
        [ "$(realpath -m "$include")" = "$(realpath -m "$2")" ] &&
            [ "$(realpath -m "$lib")" = "$(realpath -m "$3")" ] ||
            fail "pkg-config ${form:-(plain)} for $1 says '$flags'"
    done
}
check_pc "$libdir/pkgconfig" "$root/include" "$libdir"
multi="$work/multiarch/usr"
cmake -DLIBDIR=lib/x86_64-linux-gnu -DINCLUDEDIR=include \
    -DOUT="$multi/lib/x86_64-linux-gnu/pkgconfig/nuboxlink.pc" \
    -P "$source/nuboxlink/nuboxlink_pc.cmake" || fail "nuboxlink_pc.cmake does not run"
check_pc "$multi/lib/x86_64-linux-gnu/pkgconfig" "$multi/include" "$multi/lib/x86_64-linux-gnu"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\0]\n"PCI-Board"=dword:00000042\n' \
    >"$work/registry.reg"
export NUBOXLINK_REGISTRY="$work/registry.reg" NUBOXLINK_DRIVER_DIR="$work/drivers"
"$bin/nubox-simd" --driver-dir "$work/drivers" --board pci:0:0x42 >"$work/simd.out" 2>&1 &
simd=$!
trap 'kill "$simd" 2>/dev/null; wait "$simd" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
    grep -q '^ready$' "$work/simd.out" && break
    sleep 0.1
done
grep -q '^ready$' "$work/simd.out" || fail "nubox-simd: $(cat "$work/simd.out")"
expected="result 0 kind 2 id 0x42 present 1"  # a PCI board, as the registry says
answer="$(LD_LIBRARY_PATH="$libdir" "$work/client")"
[ "$answer" = "$expected" ] || fail "the C program says '$answer', not '$expected'"

# The same through the CMake package.
mkdir -p "$work/cmake-client"
cat >"$work/cmake-client/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(client C)
find_package(nuboxlink 1 REQUIRED)
add_executable(client ../client.c)
target_link_libraries(client PRIVATE nuboxlink::nuboxlink)
CMAKE
cmake -S "$work/cmake-client" -B "$work/cmake-client/build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$root" >/dev/null || fail "find_package(nuboxlink) fails"
cmake --build "$work/cmake-client/build" >/dev/null || fail "the CMake client does not build"
answer="$("$work/cmake-client/build/client")"
[ "$answer" = "$expected" ] || fail "the CMake client says '$answer', not '$expected'"
echo "install test: passed"
