# Flags every qztap target links against through qztap_build_flags.
add_library(qztap_build_flags INTERFACE)

# The conversion is bit-exact by contract: every float operation is rounded on its own,
# so no fused multiply-add and nothing that reorders or relaxes IEEE arithmetic.
if(MSVC)
  # Visual Studio 2022's /fp:precise contracts nothing unless /fp:contract is added.
  target_compile_options(qztap_build_flags INTERFACE /fp:precise /W4 /permissive- /utf-8)
  if(QZTAP_WERROR)
    target_compile_options(qztap_build_flags INTERFACE /WX)
  endif()
else()
  target_compile_options(qztap_build_flags INTERFACE -ffp-contract=off -fno-fast-math
                         -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
  if(QZTAP_WERROR)
    target_compile_options(qztap_build_flags INTERFACE -Werror)
  endif()
endif()
# Windows 10 and later, without the min and max macros that break std::min and std::max.
if(WIN32)
  target_compile_definitions(qztap_build_flags INTERFACE _WIN32_WINNT=0x0A00 NOMINMAX)
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
