# Compiles RC_FILE with WINDRES into the binary resource format (.res) and writes OUTPUT, a C++
# file that holds those bytes for winsim's dialog manager. Any windres warning fails the build.
get_filename_component(rc_folder ${RC_FILE} DIRECTORY)
set(res_file ${OUTPUT}.res)
execute_process(COMMAND ${WINDRES} -I ${rc_folder} -O res -i ${RC_FILE} -o ${res_file}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT "${output}${errors}" STREQUAL "")
    message(FATAL_ERROR "windres failed on ${RC_FILE}:\n${output}${errors}")
endif()
file(READ ${res_file} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}
"// Generated from ${RC_FILE} by embed-resources.cmake: the module's resources (.res format).
#include <cstddef>

namespace winsim {
extern const unsigned char ModuleResources[];
extern const std::size_t ModuleResourcesSize;
const unsigned char ModuleResources[] = {
    ${bytes}};
const std::size_t ModuleResourcesSize = sizeof(ModuleResources);
} // namespace winsim
")
