# cmake -DINPUT=<file.res> -DOUTPUT=<file.cpp> -P ResToSource.cmake
# Writes a source that embeds the compiled resource file in a host module:
# the bytes as KaldHostResources, their count as KaldHostResourcesSize,
# both exported for the host resource functions to find.
if(NOT INPUT OR NOT OUTPUT)
    message(FATAL_ERROR "ResToSource.cmake needs -DINPUT=<res> and -DOUTPUT=<cpp>")
endif()
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
if(digits EQUAL 0)
    message(FATAL_ERROR "${INPUT} is empty")
endif()
# Sixteen bytes a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT}; do not edit.
#include <cstddef>

extern \"C\" __attribute__((visibility(\"default\"))) const unsigned char KaldHostResources[] = {
    ${bytes}
};
extern \"C\" __attribute__((visibility(\"default\"))) const size_t KaldHostResourcesSize =
    sizeof(KaldHostResources);
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
