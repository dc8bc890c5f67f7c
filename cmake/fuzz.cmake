# The fuzz targets (tools/fuzz/). Every host build makes each one a replay program
# that runs the target's saved corpus (tools/fuzz/corpus/<target>/) as an ordinary
# test (label fuzz). The fuzz preset (clang, -DVARNOOBEX_FUZZ=ON) builds them with
# libFuzzer instead, everything else with coverage and ASan+UBSan.
set(VARNOOBEX_FUZZ_TARGETS ioctl descriptors port_name operations obex scenario)
set(VARNOOBEX_FUZZ_DIR ${CMAKE_SOURCE_DIR}/tools/fuzz)
add_library(varnoobex_fuzz_harness STATIC ${VARNOOBEX_FUZZ_DIR}/harness.cpp)
target_compile_options(varnoobex_fuzz_harness PRIVATE -Wall -Wextra -Werror -Wshadow)
target_link_libraries(varnoobex_fuzz_harness PUBLIC varnoobex_tool)
foreach(target ${VARNOOBEX_FUZZ_TARGETS})
    if(VARNOOBEX_FUZZ)
        add_executable(fuzz_${target} ${VARNOOBEX_FUZZ_DIR}/${target}.cpp)
        target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    else()
        add_executable(fuzz_${target} ${VARNOOBEX_FUZZ_DIR}/${target}.cpp ${VARNOOBEX_FUZZ_DIR}/replay.cpp)
        add_test(NAME fuzz_${target} COMMAND fuzz_${target} ${VARNOOBEX_FUZZ_DIR}/corpus/${target})
        set_tests_properties(fuzz_${target} PROPERTIES LABELS fuzz TIMEOUT 300)
    endif()
    target_compile_options(fuzz_${target} PRIVATE -Wall -Wextra -Werror -Wshadow)
    target_link_libraries(fuzz_${target} PRIVATE varnoobex_fuzz_harness)
endforeach()
