# Cross-compiles quorvel for macOS 13 on Linux, for compile and link
# checks only (nothing here runs a Mach-O binary): Debian's clang-14 and
# ld64.lld-14 against a macOS SDK's headers and .tbd stubs, one
# architecture per build tree.
#   cmake -S . -B build-macos/arm64 -G Ninja
#     -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake
#     -DQUORVEL_MACOS_SDK=/path/to/MacOSX13.0.sdk
#     -DCMAKE_OSX_ARCHITECTURES=arm64        (or x86_64)
# scripts/check-macos.sh runs both and checks the result.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 22.1)  # Darwin 22: macOS 13
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEL_MACOS_SDK)

if(NOT QUORVEL_MACOS_SDK OR NOT EXISTS "${QUORVEL_MACOS_SDK}/usr/include")
  message(FATAL_ERROR
    "QUORVEL_MACOS_SDK must name an unpacked macOS SDK (MacOSX13.0.sdk)")
endif()
if(NOT CMAKE_OSX_ARCHITECTURES)
  set(CMAKE_OSX_ARCHITECTURES arm64)
endif()
list(LENGTH CMAKE_OSX_ARCHITECTURES archCount)
if(NOT archCount EQUAL 1)
  message(FATAL_ERROR "one architecture per build tree; llvm-lipo joins them")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_OSX_ARCHITECTURES})
set(CMAKE_OSX_SYSROOT ${QUORVEL_MACOS_SDK})
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.0)

set(triple ${CMAKE_OSX_ARCHITECTURES}-apple-macos13)
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET ${triple})
endforeach()
set(CMAKE_C_COMPILER /usr/bin/clang-14)
set(CMAKE_CXX_COMPILER /usr/bin/clang++-14)
set(CMAKE_OBJCXX_COMPILER /usr/bin/clang++-14)
set(CMAKE_AR /usr/bin/llvm-ar-14)
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14)
set(CMAKE_INSTALL_NAME_TOOL /usr/bin/llvm-install-name-tool-14)

# Debian's clang defaults to libstdc++: use the SDK's libc++, and only its
# headers, even if Debian's libc++ headers are installed.
set(libcxx "-stdlib=libc++ -nostdinc++ -isystem ${QUORVEL_MACOS_SDK}/usr/include/c++/v1")
set(CMAKE_CXX_FLAGS_INIT "${libcxx}")
set(CMAKE_OBJCXX_FLAGS_INIT "${libcxx}")
# lld needs -platform_version, which clang passes once it believes the
# linker is ld64 version 711 or later. The link line repeats the compile
# flags, where -nostdinc++ has nothing to do.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "--ld-path=/usr/bin/ld64.lld-14 -mlinker-version=711 -Wno-unused-command-line-argument")

# Libraries, headers and packages come from the SDK alone; programs from
# the build machine.
set(CMAKE_FIND_ROOT_PATH ${QUORVEL_MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
