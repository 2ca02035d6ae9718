# The two shipped drivers, quillan.sys for Windows XP and for Windows 2000,
# from the same sources: PE32, subsystem native, linked against the kernel,
# the HAL and the USB driver interface library only.

set(QUILLAN_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)

function(quillan_windows_driver target folder winnt ntddi)
  add_library(${target} SHARED ${QUILLAN_DRIVER_SOURCES})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${QUILLAN_DDK_INCLUDE})
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=${winnt} NTDDI_VERSION=${ntddi})
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -ffreestanding --param=min-pagesize=0
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -O2 -Wall -Wextra -Werror -Wno-unknown-pragmas)
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--nxcompat -Wl,--dynamicbase -Wl,-Map,${CMAKE_BINARY_DIR}/${folder}/quillan.map)
  target_link_libraries(${target} PRIVATE ntoskrnl hal usbd gcc)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME quillan SUFFIX ".sys"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${folder}
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${folder}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${folder}/lib)
endfunction()

quillan_windows_driver(quillan_xp  xp  0x0501 0x05010000)
quillan_windows_driver(quillan_w2k w2k 0x0500 0x05000000)
