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
#     .init_array, .fini_array contents, _GLOBAL__sub_I_ functions).
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

check_build() {
    local build=$1
    local lib=
    local candidate
    for candidate in "$build/driver/kaldrin.sys" "$build/driver/libkaldrin.a"; do
        if [ -f "$candidate" ]; then lib=$candidate; break; fi
    done
    if [ -z "$lib" ]; then
        fail "no driver in $build/driver (build the windows preset first)"
        return
    fi
    check_flags "$build/compile_commands.json" "$root/driver"
    check_objects "$lib"
    if [ "$failed" = 0 ]; then
        echo "check-windows-driver: $lib: freestanding, no C++ runtime, no global constructors"
    fi
}

# Compiles a known-good and several known-bad snippets with the cross
# compiler and confirms that each bad one is caught and the good one is not.
self_test() {
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    local kernel_flags=(-std=c++20 -O2 -ffreestanding -fno-exceptions -fno-rtti
        -fno-threadsafe-statics -fno-asynchronous-unwind-tables -fno-stack-protector
        -mno-red-zone)
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

    if [ "$errors" != 0 ]; then
        echo "check-windows-driver: self-test failed ($errors)" >&2
        return 1
    fi
    echo "check-windows-driver: self-test passed (${#cases[@]} libraries, 1 compilation database)"
}

failed=0
case "${1:-}" in
    --self-test) self_test ;;
    -h | --help) sed -n '2,18p' "$0" ;;
    *)
        check_build "${1:-$root/build/windows}"
        exit "$failed"
        ;;
esac
