# Host builds: the driver's sources and the simulated kernel, compiled for
# Linux against the same platform headers, with the GoogleTest suites.
#   QUILLAN_M32=ON          32-bit build with the exact x86 layouts
#   QUILLAN_SANITIZE=address|thread   ASan+UBSan or TSan variant
#   QUILLAN_SYS_DIR         where the Windows build put its drivers (import check)
#   QUILLAN_PACKAGE_DIR     where make package put the driver packages (package check)

option(QUILLAN_M32 "32-bit host build" OFF)
set(QUILLAN_SANITIZE "none" CACHE STRING "none, address or thread")
set(QUILLAN_SYS_DIR "" CACHE PATH "folder holding xp/quillan.sys and w2k/quillan.sys")
set(QUILLAN_PACKAGE_DIR "" CACHE PATH "folder holding the driver packages xp/ and w2k/")

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
# Line tables are all the sanitizers' and debuggers' backtraces need; full
# debug information would double the time of every build.
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -g1 -DNDEBUG")

# Flags that change the ABI go everywhere, GoogleTest included.
if(QUILLAN_M32)
  add_compile_options(-m32 -malign-double -mincoming-stack-boundary=2)
  add_link_options(-m32)
endif()
if(QUILLAN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUILLAN_SANITIZE STREQUAL "thread")
  if(QUILLAN_M32)
    message(FATAL_ERROR "ThreadSanitizer needs the 64-bit host build")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# The platform headers, compiled as the mingw target would see them.
add_library(quillan_platform INTERFACE)
target_include_directories(quillan_platform INTERFACE ${CMAKE_SOURCE_DIR})
target_compile_options(quillan_platform INTERFACE
  "SHELL:-include ${CMAKE_SOURCE_DIR}/cmake/host-predefines.h"
  -mms-bitfields -fshort-wchar -Wno-attributes
  "SHELL:-idirafter /usr/share/mingw-w64/include" "SHELL:-idirafter /usr/share/mingw-w64/include/ddk")
target_compile_definitions(quillan_platform INTERFACE
  USE_NO_MINGW_SETJMP_TWO_ARGS
  _WIN32_WINNT=0x0501 NTDDI_VERSION=0x05010000)

# The driver: kernel code, so no exceptions and no RTTI here either.
add_library(quillan_driver STATIC ${QUILLAN_DRIVER_SOURCES})
target_link_libraries(quillan_driver PUBLIC quillan_platform)
target_compile_options(quillan_driver PRIVATE -fno-exceptions -fno-rtti -Wall -Wextra -Werror)

# The simulated kernel.
file(GLOB_RECURSE QUILLAN_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(quillan_sim STATIC ${QUILLAN_SIM_SOURCES})
target_link_libraries(quillan_sim PUBLIC quillan_platform)
target_compile_options(quillan_sim PRIVATE -Wall -Wextra -Werror)
find_package(Threads REQUIRED)
target_link_libraries(quillan_sim PUBLIC Threads::Threads)

# GoogleTest from source, so it gets the -m32 and sanitizer flags too.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)
add_subdirectory(tests)
add_subdirectory(tools)
