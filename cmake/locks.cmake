# The lock check build: the driver folders compiled, not linked, by clang against the
# host platform's headers with its thread-safety analysis, every finding an error. The
# annotations (kernel/lock_annotations.h) mean something only here. Its one test shows
# the check bites: code that breaks a lock contract of the driver does not compile.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the lock check build needs clang++ (the locks preset sets it)")
endif()

# The driver's own flags, less -Wcast-align: gcc does not warn on x86-64, where the
# CPU needs no alignment, but clang does at every CONTAINING_RECORD.
set(VARNOOBEX_LOCK_FLAGS ${VARNOOBEX_DRIVER_FLAGS} -Wno-cast-align -nostdinc++
    -Wthread-safety -Wthread-safety-beta)
set(VARNOOBEX_LOCK_DEFINITIONS VARNOOBEX_HOST VARNOOBEX_LOCK_ANALYSIS
    VARNOOBEX_VERSION="${VARNOOBEX_BANNER_VERSION}")

add_library(varnoobex_driver_locks OBJECT ${VARNOOBEX_DRIVER_SOURCES})
target_include_directories(varnoobex_driver_locks PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(varnoobex_driver_locks PRIVATE ${VARNOOBEX_LOCK_DEFINITIONS})
target_compile_options(varnoobex_driver_locks PRIVATE ${VARNOOBEX_LOCK_FLAGS})

# Built only by the test, which expects it to fail with each of the diagnostics that
# tests/locks/broken_contracts.cpp lists.
add_library(locks_broken_contracts OBJECT EXCLUDE_FROM_ALL
    ${CMAKE_SOURCE_DIR}/tests/locks/broken_contracts.cpp)
target_include_directories(locks_broken_contracts PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(locks_broken_contracts PRIVATE ${VARNOOBEX_LOCK_DEFINITIONS})
target_compile_options(locks_broken_contracts PRIVATE ${VARNOOBEX_LOCK_FLAGS})

enable_testing()
add_test(NAME locks.broken_contracts_do_not_compile
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DTARGET=locks_broken_contracts
                 -DSOURCE=${CMAKE_SOURCE_DIR}/tests/locks/broken_contracts.cpp
                 -P ${CMAKE_SOURCE_DIR}/tests/locks/expect_errors.cmake)
set_tests_properties(locks.broken_contracts_do_not_compile PROPERTIES LABELS locks)
