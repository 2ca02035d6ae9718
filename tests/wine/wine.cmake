# The Windows pieces of the Wine test (make wine-test), in build/windows/wine:
# quillan_testbus.sys with its INF, quillan-wine-install.exe and
# quillan-wine-test.exe. Test code only; nothing here is packaged.

set(QUILLAN_WINE_DIR ${CMAKE_BINARY_DIR}/wine)

add_executable(quillan_testbus
  ${CMAKE_SOURCE_DIR}/tests/wine/bus/bus.cpp
  ${CMAKE_SOURCE_DIR}/tests/wine/bus/child.cpp
  ${CMAKE_SOURCE_DIR}/tests/wine/bus/loopback.cpp)
target_include_directories(quillan_testbus PRIVATE ${CMAKE_SOURCE_DIR} ${QUILLAN_DDK_INCLUDE})
target_compile_definitions(quillan_testbus PRIVATE _WIN32_WINNT=0x0501 NTDDI_VERSION=0x05010000)
target_compile_options(quillan_testbus PRIVATE
  -fno-exceptions -fno-rtti -ffreestanding --param=min-pagesize=0
  -fno-asynchronous-unwind-tables -fno-threadsafe-statics -mgeneral-regs-only
  -O2 -Wall -Wextra -Werror -Wno-unknown-pragmas -Wno-missing-field-initializers)
target_link_options(quillan_testbus PRIVATE
  -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--require-defined,_DriverEntry@8
  -Wl,--image-base,0x10000 -Wl,--dynamicbase -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
target_link_libraries(quillan_testbus PRIVATE ntoskrnl hal gcc)
set_target_properties(quillan_testbus PROPERTIES
  OUTPUT_NAME quillan_testbus SUFFIX ".sys" RUNTIME_OUTPUT_DIRECTORY ${QUILLAN_WINE_DIR})
# The INF goes next to the driver it installs (copied again when it changes).
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/bus/quillan_testbus.inf ${QUILLAN_WINE_DIR}/quillan_testbus.inf COPYONLY)

# User-mode programs: the C and C++ run-times linked in, so that the
# programs need nothing from the prefix beyond Windows' own libraries.
function(quillan_wine_program target)
  add_executable(${target} ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0501)
  target_compile_options(${target} PRIVATE -municode -O2 -Wall -Wextra -Werror)
  target_link_options(${target} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUILLAN_WINE_DIR})
endfunction()

quillan_wine_program(quillan-wine-install ${CMAKE_SOURCE_DIR}/tests/wine/program/install.cpp)
target_link_libraries(quillan-wine-install PRIVATE setupapi newdev advapi32 kernel32)

quillan_wine_program(quillan-wine-test
  ${CMAKE_SOURCE_DIR}/tests/wine/program/main.cpp
  ${CMAKE_SOURCE_DIR}/tests/wine/program/port.cpp
  ${CMAKE_SOURCE_DIR}/tests/wine/program/scenarios.cpp)
target_link_libraries(quillan-wine-test PRIVATE kernel32)
