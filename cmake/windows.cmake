# The Windows driver image: PE32+, native subsystem, entry DriverEntry, base
# relocations, imports from ntoskrnl.exe, HAL.dll and USBD.SYS only, no exports, a
# correct PE checksum and a version resource; and the driver package beside it.
enable_language(RC)

set(VARNOOBEX_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)
if(NOT EXISTS ${VARNOOBEX_DDK_INCLUDE}/wdm.h)
    message(FATAL_ERROR "the kernel headers ${VARNOOBEX_DDK_INCLUDE} are missing: "
                        "apt-get install mingw-w64-x86-64-dev")
endif()
set(VARNOOBEX_IMPORT_LIBDIR /usr/x86_64-w64-mingw32/lib)
find_program(VARNOOBEX_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(VARNOOBEX_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
find_program(VARNOOBEX_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)

# The version the load banner prints ("Ver m.n") is the image's file and product
# version m.n.0.0, and the INF's DriverVer; the checks compare all three.
if(NOT VARNOOBEX_BANNER_VERSION MATCHES "^Ver ([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "banner version '${VARNOOBEX_BANNER_VERSION}' is not 'Ver m.n'")
endif()
set(VARNOOBEX_FILE_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.0.0")
set(VARNOOBEX_FILE_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},0,0")
configure_file(${CMAKE_SOURCE_DIR}/package/varnoobex.rc.in ${CMAKE_BINARY_DIR}/varnoobex.rc @ONLY)

# Compile and link settings of a kernel image; the driver and the image-check fixtures
# share them, so that the fixtures are linked exactly as the driver is.
function(varnoobex_kernel_image target)
    target_compile_definitions(${target} PRIVATE _AMD64_ _WIN64 DBG=0 NTDDI_VERSION=0x06010000
        _WIN32_WINNT=0x0601 WINVER=0x0601)
    set(flags -ffreestanding -fno-builtin -fno-stack-protector -mno-red-zone -mno-stack-arg-probe
        -fno-omit-frame-pointer -O2 -Wall -Wextra -Werror)
    target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:${flags}>")
    # An executable-style link gives an image without an export directory; --dynamicbase
    # keeps the base relocations that the kernel loader needs to place the driver. ld
    # writes the PE checksum itself; check_image.sh recomputes it from the file.
    target_link_options(${target} PRIVATE
        -nostdlib -nostartfiles
        -Wl,--subsystem,native
        -Wl,--entry,DriverEntry
        -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
        -Wl,--image-base,0x140000000
        -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
        -Wl,--stack,0x40000)
endfunction()

add_executable(varnoobex_sys ${VARNOOBEX_DRIVER_SOURCES} ${CMAKE_BINARY_DIR}/varnoobex.rc)
set_target_properties(varnoobex_sys PROPERTIES OUTPUT_NAME varnoobex SUFFIX ".sys")
varnoobex_kernel_image(varnoobex_sys)
target_include_directories(varnoobex_sys PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${CMAKE_SOURCE_DIR}>)
# The kernel headers are the platform's: a system include, so our warnings do not apply.
target_include_directories(varnoobex_sys SYSTEM PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VARNOOBEX_DDK_INCLUDE}>)
target_compile_definitions(varnoobex_sys PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:VARNOOBEX_VERSION="${VARNOOBEX_BANNER_VERSION}">)
target_compile_options(varnoobex_sys PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${VARNOOBEX_DRIVER_FLAGS}>")
target_link_libraries(varnoobex_sys PRIVATE ntoskrnl hal usbd)

# build/windows/package: what pnputil and Inf2Cat take on the Windows machine.
set(VARNOOBEX_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
add_custom_command(
    OUTPUT ${VARNOOBEX_PACKAGE_DIR}/varnoobex.sys ${VARNOOBEX_PACKAGE_DIR}/varnoobex.inf
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VARNOOBEX_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:varnoobex_sys> ${VARNOOBEX_PACKAGE_DIR}/varnoobex.sys
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/package/varnoobex.inf ${VARNOOBEX_PACKAGE_DIR}/varnoobex.inf
    DEPENDS varnoobex_sys $<TARGET_FILE:varnoobex_sys> ${CMAKE_SOURCE_DIR}/package/varnoobex.inf
    COMMENT "Assembling the driver package in ${VARNOOBEX_PACKAGE_DIR}")
add_custom_target(varnoobex_package ALL
    DEPENDS ${VARNOOBEX_PACKAGE_DIR}/varnoobex.sys ${VARNOOBEX_PACKAGE_DIR}/varnoobex.inf)

enable_testing()
set(VARNOOBEX_CHECK_IMAGE ${CMAKE_SOURCE_DIR}/tests/image/check_image.sh)
set(VARNOOBEX_CHECK_INF ${VARNOOBEX_PYTHON} ${CMAKE_SOURCE_DIR}/tests/package/check_inf.py)
set(VARNOOBEX_EXPECT_REJECTION ${CMAKE_SOURCE_DIR}/tests/image/expect_rejection.sh)

add_test(NAME windows_image_check
    COMMAND ${VARNOOBEX_CHECK_IMAGE} $<TARGET_FILE:varnoobex_sys> ${VARNOOBEX_OBJDUMP} ${VARNOOBEX_IMPORT_LIBDIR})
set_tests_properties(windows_image_check PROPERTIES LABELS "core;image")
add_test(NAME windows_package_check
    COMMAND ${VARNOOBEX_CHECK_INF} --package ${VARNOOBEX_PACKAGE_DIR}/varnoobex.inf)
set_tests_properties(windows_package_check PROPERTIES LABELS "package")

# Image-check fixtures: tiny kernel images linked like the driver, one fault each.
set(VARNOOBEX_FIXTURES ${CMAKE_SOURCE_DIR}/tests/image/fixtures)
foreach(def ntoskrnl_unknown hal_dbgprint)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fixtures/lib${def}.a
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fixtures
        COMMAND ${VARNOOBEX_DLLTOOL} --input-def ${VARNOOBEX_FIXTURES}/${def}.def
                --output-lib ${CMAKE_BINARY_DIR}/fixtures/lib${def}.a
        DEPENDS ${VARNOOBEX_FIXTURES}/${def}.def)
endforeach()
add_custom_target(fixture_import_libraries ALL DEPENDS
    ${CMAKE_BINARY_DIR}/fixtures/libntoskrnl_unknown.a ${CMAKE_BINARY_DIR}/fixtures/libhal_dbgprint.a)

function(varnoobex_image_fixture name banner)
    add_executable(fixture_${name} ${VARNOOBEX_FIXTURES}/tiny_driver.c ${ARGN})
    set_target_properties(fixture_${name} PROPERTIES OUTPUT_NAME ${name} SUFFIX ".sys"
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures)
    varnoobex_kernel_image(fixture_${name})
    target_compile_definitions(fixture_${name} PRIVATE
        $<$<COMPILE_LANGUAGE:C>:FIXTURE_BANNER_VERSION="${banner}">)
endfunction()

varnoobex_image_fixture(good "${VARNOOBEX_BANNER_VERSION}" ${CMAKE_BINARY_DIR}/varnoobex.rc)
target_link_libraries(fixture_good PRIVATE ntoskrnl)
# A second consistent version, so that the checks are seen to follow the banner.
block()
    set(VARNOOBEX_BANNER_VERSION "Ver 1.2")
    set(VARNOOBEX_FILE_VERSION "1.2.0.0")
    set(VARNOOBEX_FILE_VERSION_COMMAS "1,2,0,0")
    configure_file(${CMAKE_SOURCE_DIR}/package/varnoobex.rc.in ${CMAKE_BINARY_DIR}/fixtures/version_1_2.rc @ONLY)
endblock()
varnoobex_image_fixture(version_1_2 "Ver 1.2" ${CMAKE_BINARY_DIR}/fixtures/version_1_2.rc)
target_link_libraries(fixture_version_1_2 PRIVATE ntoskrnl)
varnoobex_image_fixture(no_version "${VARNOOBEX_BANNER_VERSION}")
target_link_libraries(fixture_no_version PRIVATE ntoskrnl)
varnoobex_image_fixture(other_version "Ver 1.2" ${CMAKE_BINARY_DIR}/varnoobex.rc)
target_link_libraries(fixture_other_version PRIVATE ntoskrnl)
varnoobex_image_fixture(no_banner "1.1" ${CMAKE_BINARY_DIR}/varnoobex.rc)
target_link_libraries(fixture_no_banner PRIVATE ntoskrnl)
varnoobex_image_fixture(writable_code "${VARNOOBEX_BANNER_VERSION}" ${CMAKE_BINARY_DIR}/varnoobex.rc)
target_compile_definitions(fixture_writable_code PRIVATE FIXTURE_WRITABLE_CODE)
target_link_libraries(fixture_writable_code PRIVATE ntoskrnl)
varnoobex_image_fixture(foreign_import "${VARNOOBEX_BANNER_VERSION}" ${CMAKE_BINARY_DIR}/varnoobex.rc)
target_compile_definitions(fixture_foreign_import PRIVATE FIXTURE_FOREIGN_IMPORT)
add_dependencies(fixture_foreign_import fixture_import_libraries)
target_link_libraries(fixture_foreign_import PRIVATE
    ${CMAKE_BINARY_DIR}/fixtures/libhal_dbgprint.a ${CMAKE_BINARY_DIR}/fixtures/libntoskrnl_unknown.a)
# Images that the platform's loader (not the image check) must refuse, each for its
# own reason; and one that it loads, whose requests provoke faults one at a time.
varnoobex_image_fixture(missing_import "${VARNOOBEX_BANNER_VERSION}")
target_compile_definitions(fixture_missing_import PRIVATE FIXTURE_MISSING_IMPORT)
target_link_libraries(fixture_missing_import PRIVATE ntoskrnl)
varnoobex_image_fixture(other_module "${VARNOOBEX_BANNER_VERSION}")
target_compile_definitions(fixture_other_module PRIVATE FIXTURE_OTHER_MODULE)
target_link_libraries(fixture_other_module PRIVATE ntoskrnl ndis)
varnoobex_image_fixture(relocations_stripped "${VARNOOBEX_BANNER_VERSION}")
target_link_options(fixture_relocations_stripped PRIVATE -Wl,--disable-dynamicbase -Wl,--disable-reloc-section)
target_link_libraries(fixture_relocations_stripped PRIVATE ntoskrnl)
varnoobex_image_fixture(windows_subsystem "${VARNOOBEX_BANNER_VERSION}")
target_link_options(fixture_windows_subsystem PRIVATE -Wl,--subsystem,windows)
target_link_libraries(fixture_windows_subsystem PRIVATE ntoskrnl)
varnoobex_image_fixture(entry_in_data "${VARNOOBEX_BANNER_VERSION}")
target_link_options(fixture_entry_in_data PRIVATE -Wl,--entry,FixtureTable)
target_link_libraries(fixture_entry_in_data PRIVATE ntoskrnl)
add_executable(fixture_fault_driver ${VARNOOBEX_FIXTURES}/fault_driver.c)
set_target_properties(fixture_fault_driver PROPERTIES OUTPUT_NAME fault_driver SUFFIX ".sys"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures)
varnoobex_kernel_image(fixture_fault_driver)
target_include_directories(fixture_fault_driver SYSTEM PRIVATE ${VARNOOBEX_DDK_INCLUDE})
target_link_libraries(fixture_fault_driver PRIVATE ntoskrnl)

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fixtures/bad_checksum.sys
    COMMAND ${VARNOOBEX_PYTHON} ${VARNOOBEX_FIXTURES}/corrupt_checksum.py
            $<TARGET_FILE:fixture_good> ${CMAKE_BINARY_DIR}/fixtures/bad_checksum.sys
    DEPENDS fixture_good $<TARGET_FILE:fixture_good> ${VARNOOBEX_FIXTURES}/corrupt_checksum.py)
add_custom_target(fixture_bad_checksum ALL DEPENDS ${CMAKE_BINARY_DIR}/fixtures/bad_checksum.sys)

function(varnoobex_image_rejects name)
    add_test(NAME image_check_rejects_${name}
        COMMAND ${VARNOOBEX_EXPECT_REJECTION} ${ARGN} --
                ${VARNOOBEX_CHECK_IMAGE} ${CMAKE_BINARY_DIR}/fixtures/${name}.sys
                ${VARNOOBEX_OBJDUMP} ${VARNOOBEX_IMPORT_LIBDIR})
    set_tests_properties(image_check_rejects_${name} PROPERTIES LABELS "image")
endfunction()

foreach(name good version_1_2)
    add_test(NAME image_check_accepts_${name}
        COMMAND ${VARNOOBEX_CHECK_IMAGE} $<TARGET_FILE:fixture_${name}> ${VARNOOBEX_OBJDUMP} ${VARNOOBEX_IMPORT_LIBDIR})
    set_tests_properties(image_check_accepts_${name} PROPERTIES LABELS "image")
endforeach()
varnoobex_image_rejects(bad_checksum -e "PE checksum in the header is")
varnoobex_image_rejects(no_version -e "no version resource (VS_VERSION_INFO)")
varnoobex_image_rejects(other_version -e "does not carry the banner's Ver 1.2 (1.2.0.0)")
varnoobex_image_rejects(no_banner -e "expected one banner version string \"Ver m.n\" in the image, found none")
varnoobex_image_rejects(writable_code -e "section .wxcode is both writable and executable")
varnoobex_image_rejects(foreign_import
    -e "ntoskrnl.exe!KeFixtureRoutineNotInTheKernel is not a routine ntoskrnl.exe exports"
    -e "HAL.dll!DbgPrint is not a routine HAL.dll exports"
    -e "ntoskrnl.exe!#7: imported by ordinal")

# INF fixtures: each a copy of the package's INF with one mistake, and the message the
# checker must reject it with in its "; expect:" lines.
file(GLOB VARNOOBEX_INF_FIXTURES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/package/fixtures/*.inf)
foreach(fixture ${VARNOOBEX_INF_FIXTURES})
    get_filename_component(name ${fixture} NAME_WE)
    add_test(NAME inf_check_rejects_${name}
        COMMAND ${VARNOOBEX_EXPECT_REJECTION} -f ${fixture} -- ${VARNOOBEX_CHECK_INF} ${fixture})
    set_tests_properties(inf_check_rejects_${name} PROPERTIES LABELS "package")
endforeach()
add_test(NAME inf_check_accepts_minimal
    COMMAND ${VARNOOBEX_CHECK_INF} ${CMAKE_SOURCE_DIR}/tests/package/minimal_valid.inf)
set_tests_properties(inf_check_accepts_minimal PROPERTIES LABELS "package")
# The rejection harness itself must fail when the checker accepts its input, and when
# the checker fails with another message than the expected one.
add_test(NAME rejection_harness_fails_on_accepted_input
    COMMAND ${VARNOOBEX_EXPECT_REJECTION} -e "anything" --
            ${VARNOOBEX_CHECK_INF} ${CMAKE_SOURCE_DIR}/tests/package/minimal_valid.inf)
add_test(NAME rejection_harness_fails_on_other_message
    COMMAND ${VARNOOBEX_EXPECT_REJECTION} -e "[Version] has no DriverVer" --
            ${VARNOOBEX_CHECK_INF} ${CMAKE_SOURCE_DIR}/tests/package/fixtures/no_catalog.inf)
set_tests_properties(rejection_harness_fails_on_accepted_input rejection_harness_fails_on_other_message
    PROPERTIES LABELS "package" WILL_FAIL TRUE)

# Package-folder fixtures: the package's INF beside a driver file that does not fit it.
function(varnoobex_package_fixture name driver)
    set(folder ${CMAKE_BINARY_DIR}/fixtures/package_${name})
    set(commands COMMAND ${CMAKE_COMMAND} -E rm -rf ${folder}
                 COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                 COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/package/varnoobex.inf ${folder}/varnoobex.inf)
    if(driver)
        list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy ${driver} ${folder}/varnoobex.sys)
    endif()
    add_custom_command(OUTPUT ${folder}/varnoobex.inf ${commands}
        DEPENDS ${driver} ${CMAKE_SOURCE_DIR}/package/varnoobex.inf)
    add_custom_target(fixture_package_${name} ALL DEPENDS ${folder}/varnoobex.inf)
    add_test(NAME package_check_rejects_${name}
        COMMAND ${VARNOOBEX_EXPECT_REJECTION} ${ARGN} -- ${VARNOOBEX_CHECK_INF} --package ${folder}/varnoobex.inf)
    set_tests_properties(package_check_rejects_${name} PROPERTIES LABELS "package")
endfunction()

varnoobex_package_fixture(without_driver "" -e "varnoobex.sys is not in the package folder")
varnoobex_package_fixture(driver_not_an_image ${CMAKE_SOURCE_DIR}/package/varnoobex.inf
    -e "varnoobex.sys: no MZ signature: not a PE image")
varnoobex_package_fixture(driver_without_version $<TARGET_FILE:fixture_no_version>
    -e "varnoobex.sys has no version resource to compare with DriverVer")
varnoobex_package_fixture(driver_of_other_version $<TARGET_FILE:fixture_version_1_2>
    -e "DriverVer version 1.1.0.0 differs from varnoobex.sys's file version 1.2.0.0")
