# The real Windows build: setup.exe from the product and its resources, with MinGW-w64.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_SOURCE_DIR}/resources")
set(CMAKE_RC_COMPILE_OBJECT
    "<CMAKE_RC_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -O coff -i <SOURCE> -o <OBJECT>")

add_executable(setup WIN32 ${PRODUCT_SOURCES} resources/setup.rc)
target_compile_options(setup PRIVATE ${PRODUCT_FLAGS} -Os -fno-exceptions -fno-rtti
                       -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
target_link_options(setup PRIVATE -static -s -Wl,--gc-sections)
target_link_libraries(setup PRIVATE ole32 uuid shell32 user32 gdi32 advapi32)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/wine/CMakeLists.txt)
    add_subdirectory(tools/wine)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/bench/CMakeLists.txt)
    add_subdirectory(tools/bench)
endif()
