# The two shipped drivers, quillan.sys for Windows XP and for Windows 2000,
# from the same sources: PE32, subsystem native, entry DriverEntry, linked
# against the kernel, the HAL, the USB driver interface library and libgcc
# (compiler helpers such as 64-bit division) and nothing else.

set(QUILLAN_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)

# The platform module links every Windows program with the user-mode
# libraries (kernel32, user32, ...); a driver must never resolve a symbol
# from them, so the list is emptied and only the libraries below remain.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# target: CMake target name; folder: output folder under the build folder;
# winnt/ntddi: the system version the headers are set for; os_major/os_minor:
# the system version written into the image header.
function(quillan_windows_driver target folder winnt ntddi os_major os_minor)
  # Linked as an image of its own, not as a DLL: no export table, no DLL flag,
  # as the kernel's loader expects of a driver.
  add_executable(${target} ${QUILLAN_DRIVER_SOURCES})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${QUILLAN_DDK_INCLUDE})
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=${winnt} NTDDI_VERSION=${ntddi})
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -ffreestanding --param=min-pagesize=0
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    # The kernel does not save floating-point or vector registers for a
    # driver: the compiler may use none of them.
    -mgeneral-regs-only
    -O2 -Wall -Wextra -Werror -Wno-unknown-pragmas)
  target_link_options(${target} PRIVATE
    # No C run-time start-up code or libraries: the kernel calls DriverEntry.
    -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    # A driver without DriverEntry is an error, not a linker warning.
    -Wl,--require-defined,_DriverEntry@8
    # The kernel loads a driver wherever it finds room, so the image must keep
    # its base relocations: --dynamicbase makes the linker emit them.
    -Wl,--image-base,0x10000 -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--major-os-version,${os_major} -Wl,--minor-os-version,${os_minor}
    -Wl,--major-subsystem-version,${os_major} -Wl,--minor-subsystem-version,${os_minor}
    # Same sources, same image: no link time stamp in the header.
    -Wl,--no-insert-timestamp
    -Wl,-Map,${CMAKE_BINARY_DIR}/${folder}/quillan.map)
  target_link_libraries(${target} PRIVATE ntoskrnl hal usbd gcc)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME quillan SUFFIX ".sys"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${folder})
endfunction()

quillan_windows_driver(quillan_xp  xp  0x0501 0x05010000 5 1)
quillan_windows_driver(quillan_w2k w2k 0x0500 0x05000000 5 0)

# The Wine harness's own Windows pieces, built with the drivers and never
# packaged: the test bus driver and the two Win32 programs.
include(${CMAKE_SOURCE_DIR}/tests/wine/wine.cmake)
