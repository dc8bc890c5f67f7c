# The host build: the driver as a static library over the host platform, the
# varnoobex program, and the tests.
find_package(Threads REQUIRED)

option(VARNOOBEX_SANITIZE "Build the host build with AddressSanitizer and UBSan" OFF)
option(VARNOOBEX_TSAN "Build the host build with ThreadSanitizer" OFF)
option(VARNOOBEX_FUZZ "Build the fuzz targets with libFuzzer (clang)" OFF)
set(VARNOOBEX_SAN_FLAGS "")
if(VARNOOBEX_SANITIZE)
    set(VARNOOBEX_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
elseif(VARNOOBEX_FUZZ)
    # clang only: every library with libFuzzer's coverage, ASan and UBSan.
    set(VARNOOBEX_SAN_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
elseif(VARNOOBEX_TSAN)
    set(VARNOOBEX_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
# A suite's test that overstays this is taken for a hang. Sanitized code runs several
# times slower, and a stress test's threads far more so on a loaded machine.
set(VARNOOBEX_SUITE_TIMEOUT 120)
if(VARNOOBEX_SAN_FLAGS)
    set(VARNOOBEX_SUITE_TIMEOUT 600)
endif()
add_compile_options(${VARNOOBEX_SAN_FLAGS})
add_link_options(${VARNOOBEX_SAN_FLAGS})

# The driver. -nostdinc++ keeps the C++ standard library out of reach of driver code.
add_library(varnoobex_driver STATIC ${VARNOOBEX_DRIVER_SOURCES})
target_include_directories(varnoobex_driver PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(varnoobex_driver PUBLIC VARNOOBEX_HOST VARNOOBEX_VERSION="${VARNOOBEX_BANNER_VERSION}")
target_compile_options(varnoobex_driver PRIVATE ${VARNOOBEX_DRIVER_FLAGS} -nostdinc++)

# The host platform: the kernel, the bus, the phones and the application API.
file(GLOB_RECURSE VARNOOBEX_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(varnoobex_sim STATIC ${VARNOOBEX_SIM_SOURCES})
target_include_directories(varnoobex_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(varnoobex_sim PUBLIC VARNOOBEX_HOST)
# Frame pointers throughout, as the driver image has them: the verifier walks the frame
# chain to name the image routine that called into the platform.
target_compile_options(varnoobex_sim PRIVATE -Wall -Wextra -Werror -Wshadow -fno-omit-frame-pointer)
target_link_libraries(varnoobex_sim PUBLIC Threads::Threads)

# The command line program: the main job. Everything but main() is a library, so
# that the end-to-end tests can drive its parts in-process as well as run it.
file(GLOB_RECURSE VARNOOBEX_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp)
list(REMOVE_ITEM VARNOOBEX_TOOL_SOURCES ${CMAKE_SOURCE_DIR}/tools/main.cpp)
list(FILTER VARNOOBEX_TOOL_SOURCES EXCLUDE REGEX "/tools/fuzz/")
add_library(varnoobex_tool STATIC ${VARNOOBEX_TOOL_SOURCES})
target_include_directories(varnoobex_tool PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(varnoobex_tool PRIVATE -Wall -Wextra -Werror -Wshadow)
target_link_libraries(varnoobex_tool PUBLIC varnoobex_driver varnoobex_sim)
add_executable(varnoobex ${CMAKE_SOURCE_DIR}/tools/main.cpp)
target_compile_options(varnoobex PRIVATE -Wall -Wextra -Werror -Wshadow)
target_link_libraries(varnoobex PRIVATE varnoobex_tool)

enable_testing()
include(cmake/fuzz.cmake)
if(NOT VARNOOBEX_FUZZ)
    add_subdirectory(tests)
endif()

# The data-path benchmarks (Google Benchmark, Debian's libbenchmark-dev); docs/performance.md.
# CI runs a short smoke of each, and of `varnoobex bench`, on both builds: data must
# arrive whole, no speed is judged.
# (not in the fuzz build, which has neither the tests nor the image's path)
if(NOT VARNOOBEX_FUZZ)
    find_package(benchmark REQUIRED)
    add_executable(varnoobex_benchmarks ${CMAKE_SOURCE_DIR}/bench/data_path.cpp)
    target_compile_options(varnoobex_benchmarks PRIVATE -Wall -Wextra -Werror -Wshadow)
    target_link_libraries(varnoobex_benchmarks PRIVATE varnoobex_tool benchmark::benchmark)
    add_test(NAME bench.smoke COMMAND varnoobex_benchmarks --bytes=131072)
    add_test(NAME bench.table COMMAND varnoobex bench --size 131072)
    add_test(NAME bench.software COMMAND varnoobex bench --figures software --size 65536)
    add_test(NAME image:bench.table
             COMMAND varnoobex bench --size 131072 --driver ${VARNOOBEX_IMAGE})
    set_tests_properties(bench.smoke bench.table bench.software PROPERTIES LABELS bench)
    set_tests_properties(image:bench.table PROPERTIES LABELS "bench;image-run" REQUIRED_FILES ${VARNOOBEX_IMAGE})
endif()
