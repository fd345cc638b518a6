# Resources for host modules. kald_add_host_resources(<target> <rc-file>
# [DEFINES ...] [INCLUDES ...] [DEPENDS ...]) compiles the resource script
# with the cross toolchain's windres into the platform's binary resource
# file (.res), turns that into a generated source defining
# KaldHostResources and KaldHostResourcesSize, and adds it to <target>, a
# host SHARED or MODULE library; the host resource functions find the
# image there. Headers the script includes are tracked through the
# preprocessor's dependency file; files windres reads itself (REGISTRY
# scripts, type libraries, icons) go in DEPENDS.
find_program(KALD_WINDRES x86_64-w64-mingw32-windres)
set(KALD_RES_TO_SOURCE ${CMAKE_CURRENT_LIST_DIR}/ResToSource.cmake)

function(kald_add_host_resources target rc_file)
    cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "DEFINES;INCLUDES;DEPENDS")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "kald_add_host_resources: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT KALD_WINDRES)
        message(FATAL_ERROR
            "x86_64-w64-mingw32-windres not found: it compiles the resource scripts of the "
            "host modules. Install the Debian package mingw-w64 (scripts/setup.sh does).")
    endif()

    get_filename_component(rc ${rc_file} ABSOLUTE)
    get_filename_component(rc_dir ${rc} DIRECTORY)
    get_filename_component(rc_name ${rc} NAME_WE)
    set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
    set(res ${out_dir}/${rc_name}.res)
    set(dep ${out_dir}/${rc_name}.res.d)
    set(source ${out_dir}/${rc_name}_res.cpp)

    set(options --include-dir=${rc_dir})
    foreach(dir IN LISTS ARG_INCLUDES)
        get_filename_component(dir ${dir} ABSOLUTE)
        list(APPEND options --include-dir=${dir})
    endforeach()
    foreach(definition IN LISTS ARG_DEFINES)
        list(APPEND options --define=${definition})
    endforeach()
    set(depends ${rc})
    foreach(file IN LISTS ARG_DEPENDS)
        get_filename_component(file ${file} ABSOLUTE)
        list(APPEND depends ${file})
    endforeach()

    file(MAKE_DIRECTORY ${out_dir})
    # windres runs the scripts' relative file names from the script's
    # directory, as the platform's resource compiler does.
    add_custom_command(
        OUTPUT ${res}
        COMMAND ${KALD_WINDRES} -O res ${options}
                --preprocessor-arg=-MD --preprocessor-arg=-MF --preprocessor-arg=${dep}
                --preprocessor-arg=-MT --preprocessor-arg=${res}
                -i ${rc} -o ${res}
        DEPENDS ${depends}
        DEPFILE ${dep}
        WORKING_DIRECTORY ${rc_dir}
        COMMENT "Compiling resources ${rc_name}.rc for ${target}"
        VERBATIM)
    add_custom_command(
        OUTPUT ${source}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${res} -DOUTPUT=${source} -P ${KALD_RES_TO_SOURCE}
        DEPENDS ${res} ${KALD_RES_TO_SOURCE}
        COMMENT "Embedding ${rc_name}.res in ${target}"
        VERBATIM)
    target_sources(${target} PRIVATE ${source})
endfunction()
