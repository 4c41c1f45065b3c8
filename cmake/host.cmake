# The host build: the product over winsim, the simulated PC, with its tests and tools.
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TSAN "Build with ThreadSanitizer" OFF)
if(SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()
if(TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

find_package(Threads REQUIRED)

file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/winsim/src/*.cpp)
list(FILTER WINSIM_SOURCES EXCLUDE REGEX "/entry\\.cpp$")
add_library(winsim STATIC ${WINSIM_SOURCES})
target_include_directories(winsim BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/winsim/include)
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/winsim/src)
target_link_libraries(winsim PUBLIC Threads::Threads)

# The dialog templates, compiled from the same .rc as the Windows build and embedded in winsim.
find_program(WINDRES i686-w64-mingw32-windres REQUIRED)
set(SETUP_RESOURCES ${CMAKE_BINARY_DIR}/setup_resources.cpp)
add_custom_command(OUTPUT ${SETUP_RESOURCES}
    COMMAND ${CMAKE_COMMAND} -DWINDRES=${WINDRES} -DRC_FILE=${CMAKE_SOURCE_DIR}/resources/setup.rc
            -DOUTPUT=${SETUP_RESOURCES} -P ${CMAKE_SOURCE_DIR}/cmake/embed-resources.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/setup.rc ${CMAKE_SOURCE_DIR}/resources/resource.h
            ${CMAKE_SOURCE_DIR}/cmake/embed-resources.cmake
    VERBATIM)
target_sources(winsim PRIVATE ${SETUP_RESOURCES})

add_library(product OBJECT ${PRODUCT_SOURCES})
target_compile_options(product PRIVATE ${PRODUCT_FLAGS})
target_link_libraries(product PUBLIC winsim)

if(EXISTS ${CMAKE_SOURCE_DIR}/winsim/src/entry.cpp)
    add_executable(setup winsim/src/entry.cpp $<TARGET_OBJECTS:product>)
    target_link_libraries(setup PRIVATE product winsim)
endif()

enable_testing()
add_subdirectory(tests)
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
    add_subdirectory(tools)
endif()
