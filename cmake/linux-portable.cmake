# Cross-builds a Linux qztap that runs on any distribution with glibc 2.31 or later:
# the host's clang and lld, against the Debian 11 tree of the architecture that
# scripts/bullseye-sysroots.sh builds (its glibc, libpulse's headers, and GCC 10's C++
# library and runtime, linked in statically).
#   cmake -S . -B build-linux-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-portable.cmake \
#     -DQZTAP_ARCH=arm64 [-DQZTAP_SYSROOTS=/var/cache/qztap/bullseye] -DBUILD_TESTING=OFF
# QZTAP_ARCH is x64 or arm64.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QZTAP_ARCH QZTAP_SYSROOTS)
if(NOT QZTAP_SYSROOTS)
  set(QZTAP_SYSROOTS /var/cache/qztap/bullseye)
endif()
if(QZTAP_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
elseif(QZTAP_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  message(FATAL_ERROR "QZTAP_ARCH must be x64 or arm64, not '${QZTAP_ARCH}'")
endif()
set(_qztap_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSROOT ${QZTAP_SYSROOTS}/${QZTAP_ARCH})
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${_qztap_triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${_qztap_triple})
# The tree's C++ library goes into the binary: a distribution's own may be older.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static-libstdc++ -static-libgcc")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the tree's .pc files, and puts the tree before the paths they give.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${CMAKE_SYSROOT}/usr/lib/${_qztap_triple}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
