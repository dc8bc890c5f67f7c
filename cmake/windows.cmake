# The Windows driver image: PE32+, native subsystem, entry DriverEntry, base
# relocations, imports from ntoskrnl.exe, HAL.dll and USBD.SYS only, no exports.
set(VARNOOBEX_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)
if(NOT EXISTS ${VARNOOBEX_DDK_INCLUDE}/wdm.h)
    message(FATAL_ERROR "the kernel headers ${VARNOOBEX_DDK_INCLUDE} are missing: "
                        "apt-get install mingw-w64-x86-64-dev")
endif()

add_executable(varnoobex_sys ${VARNOOBEX_DRIVER_SOURCES})
set_target_properties(varnoobex_sys PROPERTIES OUTPUT_NAME varnoobex SUFFIX ".sys")
target_include_directories(varnoobex_sys PRIVATE ${CMAKE_SOURCE_DIR})
# The kernel headers are the platform's: a system include, so our warnings do not apply.
target_include_directories(varnoobex_sys SYSTEM PRIVATE ${VARNOOBEX_DDK_INCLUDE})
target_compile_definitions(varnoobex_sys PRIVATE _AMD64_ _WIN64 DBG=0 NTDDI_VERSION=0x06010000
    _WIN32_WINNT=0x0601 WINVER=0x0601 VARNOOBEX_VERSION="Ver 1.1")
target_compile_options(varnoobex_sys PRIVATE ${VARNOOBEX_DRIVER_FLAGS}
    -ffreestanding -fno-builtin -fno-stack-protector -mno-red-zone -mno-stack-arg-probe
    -fno-omit-frame-pointer -O2)
# An executable-style link gives an image without an export directory; --dynamicbase
# keeps the base relocations that the kernel loader needs to place the driver.
target_link_options(varnoobex_sys PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,DriverEntry
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
    -Wl,--image-base,0x140000000
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--stack,0x40000)
target_link_libraries(varnoobex_sys PRIVATE ntoskrnl hal usbd)

enable_testing()
find_program(VARNOOBEX_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
add_test(NAME windows_image_check
    COMMAND ${CMAKE_SOURCE_DIR}/tests/image/check_image.sh
            $<TARGET_FILE:varnoobex_sys> ${VARNOOBEX_OBJDUMP})
set_tests_properties(windows_image_check PROPERTIES LABELS "core;image")
