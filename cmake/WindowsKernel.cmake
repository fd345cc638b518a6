# Compile options for kernel-mode code built with the mingw-w64 cross toolchain
# against the toolchain's own platform headers: no C++ runtime, no exceptions,
# no RTTI, no global constructors, no stack cookies that need a CRT.
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
    -fno-asynchronous-unwind-tables -fno-stack-protector -fno-builtin-printf
    -mno-red-zone)
