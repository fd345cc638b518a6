#!/usr/bin/env bash
# Checks that the driver as cross-built for Windows obeys the kernel-mode
# rules the compiler alone does not enforce:
#   - every driver source was compiled freestanding, without exceptions,
#     run-time type information or guarded statics, and without the red zone;
#   - the objects are 64-bit PE/COFF;
#   - nothing refers to the C++ runtime (__cxa_*, _Unwind_*, personality
#     routines, operator new/delete, std::, type information), to the hosted
#     C library (malloc, printf, exit, assert, ...), to thread-local storage,
#     to stack-cookie checks or to stack probes (a frame larger than a page
#     does not belong on a kernel stack);
#   - there are no global constructors or destructors (.ctors, .dtors,
#     .init_array, .fini_array contents, _GLOBAL__sub_I_ functions);
# and that the driver image kaldrin.sys
#   - exists (so it linked), is a 64-bit PE image for the native subsystem (1)
#     that keeps its relocations and has x64 unwind data;
#   - is entered at DriverEntry;
#   - imports only from ntoskrnl.exe, stream.sys and usbcamd2.sys (the HAL is
#     not needed and so not accepted), and only plain C names;
#   - has no section that is both writable and executable.
#
# Usage: check-windows-driver.sh [BUILD_DIR]   (default build/windows)
#        check-windows-driver.sh --self-test   (shows that each check fires)
# Exits 0 when everything passes, 1 otherwise.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
triple=x86_64-w64-mingw32
nm="$triple-nm"
objdump="$triple-objdump"

fail() {
    echo "check-windows-driver: $*" >&2
    failed=1
}

# Undefined symbols that kernel-mode code must not have, as extended regular
# expressions over the raw (mangled) names with any __imp_ prefix removed.
forbidden_undefined=(
    '^__cxa_'                       # C++ runtime support
    '^_Unwind_'                     # unwinder
    '^__g(xx|cc)_personality'       # exception personality routines
    '^_Z(nw|na|dl|da)'              # operator new, new[], delete, delete[]
    '^_Z(N|NK)?St'                  # anything in std::
    '^_ZT[ISV]'                     # type information, vtables of the runtime
    '^__dso_handle$'
    '^_?(atexit|onexit|_onexit|exit|_exit|abort)$'
    '^(malloc|calloc|realloc|free|_aligned_malloc|_aligned_free)$'
    '^(v?s?n?printf|v?fprintf|puts|putchar|fopen|fclose|fwrite|fread|fflush)$'
    '^(_assert|_wassert|__assert_func)$'
    '^__mingw_'                     # the toolchain's user-mode runtime
    '^_?errno$'
    '^__emutls_'                    # thread-local storage
    '^__stack_chk_'                 # stack cookies need a user-mode runtime
    '^_{0,3}chkstk'                 # stack probes: a frame larger than a page
    '^_alloca$'
)

# Checks the objects of one archive or object file. Reports every finding.
check_objects() {
    local lib=$1
    local formats
    formats=$("$objdump" -f "$lib" | sed -n 's/.*file format //p' | sort -u)
    if [ "$formats" != "pe-x86-64" ]; then
        fail "$lib: objects are not all 64-bit PE/COFF (found: $(echo $formats))"
    fi

    local undefined
    undefined=$("$nm" -u "$lib" | awk 'NF >= 2 && $1 == "U" { print $2 } NF == 1 && $1 !~ /:$/ { print $1 }' |
        sed 's/^__imp_//' | sort -u)
    local pattern
    for pattern in "${forbidden_undefined[@]}"; do
        local hits
        hits=$(grep -E "$pattern" <<<"$undefined" || true)
        if [ -n "$hits" ]; then
            fail "$lib: refers to forbidden symbols: $(echo $hits | "$triple-c++filt" | tr '\n' ' ')"
        fi
    done
    local demangled_std
    demangled_std=$("$nm" -u -C "$lib" | grep -F 'std::' || true)
    if [ -n "$demangled_std" ]; then
        fail "$lib: refers to std::$(echo; echo "$demangled_std")"
    fi

    # Sections of static construction and destruction, with their sizes.
    local init_sections
    init_sections=$("$objdump" -h "$lib" | awk '
        /file format/ { member = $1 }
        $2 ~ /^\.(ctors|dtors|init_array|fini_array)(\.|$)/ && $3 !~ /^0+$/ {
            print member " " $2
        }
        $2 ~ /^\.tls(\$|$)/ { print member " " $2 }')
    if [ -n "$init_sections" ]; then
        fail "$lib: has global constructors, destructors or thread-local data:$(echo; echo "$init_sections")"
    fi
    local init_functions
    init_functions=$("$nm" "$lib" | awk '$3 ~ /^_GLOBAL__(sub_)?[ID]_/ { print $3 }' || true)
    if [ -n "$init_functions" ]; then
        fail "$lib: has static initialisation functions: $(echo $init_functions)"
    fi
}

# Checks that every source of $2 (a directory) in the compilation database $1
# was compiled with the kernel-mode options.
check_flags() {
    local database=$1 sources=$2
    local required=(-ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
        -mno-red-zone -fno-stack-protector -D_KERNEL_MODE)
    local report
    report=$(awk -v dir="$sources/" -v required="${required[*]}" '
        BEGIN { n = split(required, flags, " ") }
        /^ *"command":/ { command = $0 }
        /^ *"file":/ {
            file = $0
            sub(/^ *"file": *"/, "", file)
            sub(/",? *$/, "", file)
            if (index(file, dir) != 1) next
            checked++
            for (i = 1; i <= n; i++) {
                if (index(command " ", " " flags[i] " ") == 0) print file ": missing " flags[i]
            }
        }
        END { if (checked == 0) print "no source of " dir " in the compilation database" }
    ' "$database")
    if [ -n "$report" ]; then
        fail "$database:$(echo; echo "$report")"
    fi
}

# Modules a driver image may import from, in lower case.
allowed_modules=(ntoskrnl.exe stream.sys usbcamd2.sys)

# Reads a little-endian unsigned integer of $3 bytes at offset $2 of file $1.
read_le() {
    od -An -tu"$3" -j "$2" -N "$3" "$1" | tr -d ' \n'
}

# Prints "name characteristics" (the latter in hex) for every section header
# of the PE image $1.
image_sections() {
    local image=$1
    local pe count optional table i entry name flags
    pe=$(read_le "$image" 60 4)
    count=$(read_le "$image" $((pe + 6)) 2)
    optional=$(read_le "$image" $((pe + 20)) 2)
    table=$((pe + 24 + optional))
    for ((i = 0; i < count; i++)); do
        entry=$((table + 40 * i))
        name=$(dd if="$image" bs=1 skip="$entry" count=8 status=none | tr -d '\0')
        flags=$(read_le "$image" $((entry + 36)) 4)
        printf '%s %08x\n' "$name" "$flags"
    done
}

# Checks the linked driver image. Reports every finding.
check_image() {
    local image=$1
    local headers
    if ! headers=$("$objdump" -p "$image" 2>&1); then
        fail "$image: not a readable image: $headers"
        return
    fi
    if ! grep -q 'file format pei-x86-64' <<<"$headers"; then
        fail "$image: not a 64-bit PE image"
        return
    fi

    local subsystem
    subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$headers")
    if [ "$((16#${subsystem:-0}))" != 1 ]; then
        fail "$image: subsystem is ${subsystem:-missing}, not native (1)"
    fi
    if grep -q 'relocations stripped' <<<"$headers"; then
        fail "$image: relocations stripped; the platform could not load it where it finds room"
    fi
    # Data directory entry 3 is the exception directory (.pdata).
    local exceptions
    exceptions=$(awk '$1 == "Entry" && $2 == "3" { print $4 }' <<<"$headers")
    if [ "$((16#${exceptions:-0}))" = 0 ]; then
        fail "$image: has no x64 unwind data (exception directory is empty)"
    fi

    local entry base driver_entry
    entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
    base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
    driver_entry=$("$nm" "$image" 2>/dev/null | awk '$3 == "DriverEntry" && $2 == "T" { print $1 }')
    if [ -z "$driver_entry" ]; then
        fail "$image: no DriverEntry in its symbol table"
    elif [ "$((16#$driver_entry - 16#$base))" != "$((16#${entry:-0}))" ]; then
        fail "$image: entry point is RVA 0x${entry:-?}, not DriverEntry"
    fi

    # The import tables: "DLL Name: x" and then one line per imported name.
    local imports
    imports=$(awk '
        /^[[:space:]]*DLL Name:/ { module = $3; print "module " module; next }
        /^[[:space:]]*$/ { module = "" }
        module != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ {
            print "name " module " " $3
        }' <<<"$headers")
    if ! grep -q '^module ' <<<"$imports"; then
        fail "$image: imports nothing (it cannot reach the kernel)"
    fi
    local module allowed
    while read -r module; do
        allowed=0
        local candidate
        for candidate in "${allowed_modules[@]}"; do
            if [ "${module,,}" = "$candidate" ]; then allowed=1; fi
        done
        if [ "$allowed" = 0 ]; then
            fail "$image: imports from $module (only ${allowed_modules[*]} are allowed)"
        fi
    done < <(awk '$1 == "module" { print $2 }' <<<"$imports")
    local mangled
    mangled=$(awk '$1 == "name" && $3 ~ /^_Z/ { print $2 ": " $3 }' <<<"$imports")
    if [ -n "$mangled" ]; then
        fail "$image: imports C++ names, which no kernel module exports:$(echo; echo "$mangled")"
    fi

    # IMAGE_SCN_CNT_CODE 0x20, IMAGE_SCN_MEM_EXECUTE 0x20000000,
    # IMAGE_SCN_MEM_WRITE 0x80000000.
    local name flags wx=
    while read -r name flags; do
        if (((16#$flags & 0x80000000) && (16#$flags & 0x20000020))); then
            wx+=" $name"
        fi
    done < <(image_sections "$image")
    if [ -n "$wx" ]; then
        fail "$image: sections both writable and executable:$wx"
    fi
}

check_build() {
    local build=$1
    local lib="$build/driver/libkaldrin.a"
    local image="$build/driver/kaldrin.sys"
    if [ ! -f "$lib" ]; then
        fail "no driver library $lib (build the windows preset first)"
        return
    fi
    check_flags "$build/compile_commands.json" "$root/driver"
    check_objects "$lib"
    if [ -f "$image" ]; then
        check_image "$image"
    else
        fail "no driver image $image: it did not link, or the windows preset was not built"
    fi
    if [ "$failed" = 0 ]; then
        echo "check-windows-driver: $lib: freestanding, no C++ runtime, no global constructors"
        echo "check-windows-driver: $image: native, entered at DriverEntry, imports only" \
            "${allowed_modules[*]}, no writable code"
    fi
}

# Compiles a known-good and several known-bad snippets with the cross
# compiler and confirms that each bad one is caught and the good one is not.
self_test() {
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    local kernel_flags=(-std=c++20 -O2 -ffreestanding -fno-exceptions -fno-rtti
        -fno-threadsafe-statics -fno-stack-protector -mno-red-zone)
    # As cmake/WindowsKernel.cmake links kaldrin.sys (the commas belong to -Wl).
    # shellcheck disable=SC2054
    local image_flags=(-shared -nostdlib -nostartfiles -Wl,--subsystem,native
        -Wl,--entry,DriverEntry -Wl,--undefined,DriverEntry -Wl,--image-base,0x1C0000000
        -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200 -Wl,--dynamicbase
        -Wl,--nxcompat -Wl,--exclude-all-symbols -Wl,--disable-auto-import
        -Wl,--disable-runtime-pseudo-reloc)
    local errors=0

    # name | extra compiler options | what the report must mention | source
    local cases=(
        "good|||extern \"C\" void* memcpy(void*, const void*, unsigned long long);
            struct Point { int X; int Y; };
            constexpr Point Origin{1, 2};
            int Twice(int x) { return x * 2 + Origin.Y; }
            void Copy(void* d, const void* s) { memcpy(d, s, 16); }"
        "global-constructor||.ctors|int Compute(); int Value = Compute();"
        "global-destructor||atexit|struct Holder { ~Holder(); }; Holder TheHolder;"
        "operator-new||operator new|struct S { int a; }; S* Make() { return new S; }"
        "operator-delete||operator delete|struct S { int a; }; void Drop(S* s) { delete s; }"
        "std||std::terminate|namespace std { [[noreturn]] void terminate() noexcept; } void Stop() { std::terminate(); }"
        "guarded-static|-fthreadsafe-statics|__cxa_guard_acquire|int Compute(); int Once() { static int v = Compute(); return v; }"
        "exceptions|-fexceptions|__gxx_personality|void Risky(); int Try() { try { Risky(); } catch (...) { return 1; } return 0; }"
        "rtti|-frtti|__class_type_info|struct B { virtual ~B(); }; struct D : B { }; bool Is(B* b) { return dynamic_cast<D*>(b) != nullptr; }"
        "thread-local||__emutls|thread_local int Counter; int Next() { return ++Counter; }"
        "stack-probe||chkstk|void Use(char*); void Big() { char b[16384]; Use(b); }"
        "hosted-c||malloc|extern \"C\" void* malloc(unsigned long long); void* Get() { return malloc(8); }"
    )
    local entry
    for entry in "${cases[@]}"; do
        local name=${entry%%|*}
        local rest=${entry#*|}
        local extra=${rest%%|*}
        rest=${rest#*|}
        local expected=${rest%%|*}
        local source=${rest#*|}
        printf '%s\n' "$source" >"$work/$name.cpp"
        # shellcheck disable=SC2086
        if ! "$triple-g++" "${kernel_flags[@]}" $extra -c "$work/$name.cpp" -o "$work/$name.o" 2>"$work/$name.err"; then
            echo "self-test: $name does not compile:" >&2
            cat "$work/$name.err" >&2
            errors=$((errors + 1))
            continue
        fi
        "$triple-ar" rcs "$work/lib$name.a" "$work/$name.o"
        failed=0
        check_objects "$work/lib$name.a" 2>"$work/$name.report"
        if [ "$name" = good ] && [ "$failed" != 0 ]; then
            echo "self-test: the good library was rejected:" >&2
            cat "$work/$name.report" >&2
            errors=$((errors + 1))
        elif [ "$name" != good ] && ! grep -qF -- "$expected" "$work/$name.report"; then
            echo "self-test: $name was not caught (no mention of $expected):" >&2
            cat "$work/$name.report" >&2
            errors=$((errors + 1))
        fi
    done

    # A driver source compiled without the kernel-mode options.
    mkdir -p "$work/driver"
    cat >"$work/compile_commands.json" <<EOF
[
{
  "directory": "$work",
  "command": "$triple-g++ -D_KERNEL_MODE -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -mno-red-zone -fno-stack-protector -c $work/driver/a.cpp",
  "file": "$work/driver/a.cpp"
},
{
  "directory": "$work",
  "command": "$triple-g++ -D_KERNEL_MODE -fno-exceptions -fno-rtti -fno-threadsafe-statics -mno-red-zone -fno-stack-protector -c $work/driver/b.cpp",
  "file": "$work/driver/b.cpp"
}
]
EOF
    failed=0
    check_flags "$work/compile_commands.json" "$work/driver" 2>"$work/flags.report"
    if [ "$failed" = 0 ] || ! grep -q 'b.cpp: missing -ffreestanding' "$work/flags.report" ||
        grep -q 'a.cpp' "$work/flags.report"; then
        echo "self-test: the compile option check did not single out b.cpp:" >&2
        cat "$work/flags.report" >&2
        errors=$((errors + 1))
    fi

    # Linked images. A module of C++ names, as a header without C linkage
    # would make a caller import them.
    printf 'LIBRARY stream.sys\nEXPORTS\n    _Z6Notifyv\n' >"$work/cxx.def"
    "$triple-dlltool" --input-def "$work/cxx.def" --output-lib "$work/libcxx.a"
    local good_entry='typedef long NTSTATUS;
        extern "C" void* memcpy(void*, const void*, unsigned long long);
        static char Copy[16];
        extern "C" NTSTATUS DriverEntry(void* driver, void* path) { memcpy(Copy, path, 16); return driver ? 0 : 1; }'
    # name | extra compiler options | extra linker options | what the report must mention | source
    local images=(
        "good-image|||| $good_entry"
        "user-module||-lkernel32|imports from KERNEL32.dll|$good_entry
            extern \"C\" unsigned long GetTickCount(void);
            unsigned long Ticks() { return GetTickCount(); }"
        "cxx-import||$work/libcxx.a|imports C++ names|$good_entry
            void Notify(); void Tell() { Notify(); }"
        "console-subsystem||-Wl,--subsystem,console|not native (1)|$good_entry"
        "other-entry||-Wl,--entry,OtherEntry|not DriverEntry|$good_entry
            extern \"C\" NTSTATUS OtherEntry(void*, void*) { return 0; }"
        "writable-code|||writable and executable|$good_entry
            asm(\".section .patch,\\\"awx\\\"\\n.globl Patchable\\nPatchable: ret\\n.text\");
            extern \"C\" void Patchable(); void Patch() { Patchable(); }"
        "no-unwind-data|-fno-asynchronous-unwind-tables||no x64 unwind data|$good_entry"
    )
    for entry in "${images[@]}"; do
        local name=${entry%%|*}
        local rest=${entry#*|}
        local extra=${rest%%|*}
        rest=${rest#*|}
        local link_extra=${rest%%|*}
        rest=${rest#*|}
        local expected=${rest%%|*}
        local source=${rest#*|}
        printf '%s\n' "$source" >"$work/$name.cpp"
        # shellcheck disable=SC2086
        if ! "$triple-g++" "${kernel_flags[@]}" $extra -c "$work/$name.cpp" -o "$work/$name.o" 2>"$work/$name.err" ||
            ! "$triple-g++" "${image_flags[@]}" -o "$work/$name.sys" "$work/$name.o" $link_extra \
                -lntoskrnl -lgcc 2>>"$work/$name.err"; then
            echo "self-test: image $name does not build:" >&2
            cat "$work/$name.err" >&2
            errors=$((errors + 1))
            continue
        fi
        failed=0
        check_image "$work/$name.sys" 2>"$work/$name.report"
        if [ "$name" = good-image ] && [ "$failed" != 0 ]; then
            echo "self-test: the good image was rejected:" >&2
            cat "$work/$name.report" >&2
            errors=$((errors + 1))
        elif [ "$name" != good-image ] && ! grep -qF -- "$expected" "$work/$name.report"; then
            echo "self-test: image $name was not caught (no mention of $expected):" >&2
            cat "$work/$name.report" >&2
            errors=$((errors + 1))
        fi
    done

    if [ "$errors" != 0 ]; then
        echo "check-windows-driver: self-test failed ($errors)" >&2
        return 1
    fi
    echo "check-windows-driver: self-test passed (${#cases[@]} libraries, ${#images[@]} images," \
        "1 compilation database)"
}

failed=0
case "${1:-}" in
    --self-test) self_test ;;
    -h | --help) sed -n '2,26p' "$0" ;;
    *)
        check_build "${1:-$root/build/windows}"
        exit "$failed"
        ;;
esac
