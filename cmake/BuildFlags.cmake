# Flags every qztap target links against through qztap_build_flags.
add_library(qztap_build_flags INTERFACE)

# The conversion is bit-exact by contract: every float operation is rounded on its own,
# so no fused multiply-add and nothing that reorders or relaxes IEEE arithmetic.
if(MSVC)
  # Visual Studio 2022's /fp:precise contracts nothing unless /fp:contract is added.
  # Headers included in angle brackets (the system's, the C++ library's, GoogleTest's)
  # are not ours to warn about; our own are included in quotes.
  target_compile_options(qztap_build_flags INTERFACE /fp:precise /W4 /permissive- /utf-8
                         /external:anglebrackets /external:W0)
  if(QZTAP_WERROR)
    target_compile_options(qztap_build_flags INTERFACE /WX)
  endif()
else()
  target_compile_options(qztap_build_flags INTERFACE -ffp-contract=off -fno-fast-math
                         -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
  # Reproducible: neither the source nor the build directory gets into the objects (debug
  # information, __FILE__), so one commit gives the same binary wherever it is built; the
  # build directory's mapping comes last, which GCC tries first when it lies inside the
  # sources. __DATE__ and __TIME__ draw a warning.
  target_compile_options(qztap_build_flags INTERFACE -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                         -ffile-prefix-map=${PROJECT_BINARY_DIR}=build -Wdate-time)
  if(QZTAP_WERROR)
    target_compile_options(qztap_build_flags INTERFACE -Werror)
  endif()
endif()
# ScreenCaptureKit captures audio from macOS 13 on; the tool is built for Apple silicon.
# Either can be overridden with CMAKE_OSX_DEPLOYMENT_TARGET and CMAKE_OSX_ARCHITECTURES.
if(APPLE AND NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  target_compile_options(qztap_build_flags INTERFACE -mmacosx-version-min=13.0)
  target_link_options(qztap_build_flags INTERFACE -mmacosx-version-min=13.0)
endif()
if(APPLE AND NOT CMAKE_OSX_ARCHITECTURES)
  target_compile_options(qztap_build_flags INTERFACE "SHELL:-arch arm64")
  target_link_options(qztap_build_flags INTERFACE "SHELL:-arch arm64")
endif()
# Windows 10 and later, without the min and max macros that break std::min and std::max.
if(WIN32)
  target_compile_definitions(qztap_build_flags INTERFACE _WIN32_WINNT=0x0A00 NOMINMAX)
endif()
# The C runtime's "secure" warnings reject standard calls (std::getenv, std::strerror)
# in favour of its own.
if(MSVC)
  target_compile_definitions(qztap_build_flags INTERFACE _CRT_SECURE_NO_WARNINGS)
endif()
# MinGW-w64 links everything but the system's own DLLs in, its C++ runtime and thread
# library included, so that qztap.exe and the tests run on their own.
if(MINGW)
  target_link_options(qztap_build_flags INTERFACE -static)
endif()
if(QZTAP_NATIVE)
  target_compile_options(qztap_build_flags INTERFACE -O3 -march=native)
endif()

if(QZTAP_SANITIZER STREQUAL "address")
  set(_qztap_sanitize -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(QZTAP_SANITIZER STREQUAL "thread")
  set(_qztap_sanitize -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT QZTAP_SANITIZER STREQUAL "")
  message(FATAL_ERROR "QZTAP_SANITIZER must be empty, 'address' or 'thread', not '${QZTAP_SANITIZER}'")
endif()
if(_qztap_sanitize)
  target_compile_options(qztap_build_flags INTERFACE ${_qztap_sanitize})
  target_link_options(qztap_build_flags INTERFACE ${_qztap_sanitize})
endif()

# Hardened as Debian builds a package with every hardening feature on (what
# `DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags` prints, plus the PIE its
# compiler makes by default). Never under a sanitizer: its runtime intercepts the same
# libc calls that fortification redirects to their checked variants.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  option(QZTAP_HARDENING "Build hardened: stack protector, fortified libc calls, full RELRO, PIE" ON)
endif()
if(QZTAP_HARDENING AND NOT _qztap_sanitize)
  target_compile_options(qztap_build_flags INTERFACE -fstack-protector-strong -Wformat
                         -Werror=format-security -fPIE
                         # Fortification needs the optimiser, and warns without it.
                         $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  target_link_options(qztap_build_flags INTERFACE -pie LINKER:-z,relro LINKER:-z,now)
endif()
