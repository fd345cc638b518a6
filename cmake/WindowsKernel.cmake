# Compile options for kernel-mode code built with the mingw-w64 cross toolchain
# against the toolchain's own platform headers: no C++ runtime, no exceptions,
# no RTTI, no global constructors, no stack cookies that need a CRT. The unwind
# tables stay: on x64 the kernel walks every frame through them (exception
# dispatch, bug-check stack traces), and without them it takes each of the
# driver's routines for a leaf and unwinds wrongly.
set(KALD_MINGW_DDK_INCLUDE "/usr/share/mingw-w64/include/ddk" CACHE PATH
    "Driver kit headers of the cross toolchain")

add_library(kald_kernel_mode INTERFACE)
target_include_directories(kald_kernel_mode SYSTEM INTERFACE ${KALD_MINGW_DDK_INCLUDE})
target_compile_definitions(kald_kernel_mode INTERFACE
    _KERNEL_MODE _AMD64_ _WIN64
    # The toolchain's intrinsic header already defines these two; without the
    # guards wdm.h redeclares them.
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(kald_kernel_mode INTERFACE
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -fno-builtin-printf -mno-red-zone)

# Linking a kernel-mode image: a native-subsystem PE file entered at
# DriverEntry, with no C runtime, no start files and no libraries but the
# kernel-mode import libraries named by the caller (the compiler's own helper
# library last, for the few arithmetic helpers it may call).
#   - relocations are kept (-shared): the platform loads a driver wherever
#     it finds room;
#   - 0x1C0000000 is the usual preferred base of 64-bit drivers (the loader
#     moves them anyway); sections are page aligned so that each can carry
#     its own page protection;
#   - no symbol is exported: the platform finds the driver by its entry point;
#   - auto-import and the runtime pseudo-relocations that go with it need a
#     user-mode start-up routine to patch the image, so a data reference into
#     another module without a proper import fails the link instead.
add_library(kald_kernel_image INTERFACE)
target_link_options(kald_kernel_image INTERFACE
    -shared -nostdlib -nostartfiles
    LINKER:--subsystem,native
    LINKER:--entry,DriverEntry
    LINKER:--undefined,DriverEntry
    LINKER:--image-base,0x1C0000000
    LINKER:--section-alignment,0x1000
    LINKER:--file-alignment,0x200
    LINKER:--dynamicbase
    LINKER:--nxcompat
    LINKER:--exclude-all-symbols
    LINKER:--disable-auto-import
    LINKER:--disable-runtime-pseudo-reloc)

# Makes an import library from a module-definition file, for a kernel-mode
# module whose import library the cross toolchain lacks or names another
# module, and gives it as the library target NAME.
function(kald_import_library name def_file)
    find_program(KALD_DLLTOOL NAMES ${KALD_MINGW_TRIPLE}-dlltool REQUIRED)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/lib${name}.a)
    add_custom_command(OUTPUT ${output}
        COMMAND ${KALD_DLLTOOL} --input-def ${def_file} --output-lib ${output}
        DEPENDS ${def_file}
        COMMENT "Import library ${name} from ${def_file}"
        VERBATIM)
    add_custom_target(${name}_implib DEPENDS ${output})
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${output})
    # Followed by every target that links NAME, so the library exists first.
    add_dependencies(${name} ${name}_implib)
endfunction()
