# Compiles the macOS-only sources with clang for macOS 13.0 against the stand-in SDK headers
# beside this file (-fsyntax-only: nothing links here), then proves the check can fail: each
# misspelled callback below, in a copy of the backend, must fail to compile.
#
# cmake -DCOMPILER=<clang++> -DSOURCE_DIR=<project> -DWORK_DIR=<scratch> -P compile_check.cmake
cmake_minimum_required(VERSION 3.20)

# An Apple target, so that availability is enforced as on a Mac, with the host's C and C++
# library headers in the host's order; glibc needs _GNU_SOURCE and its own __nonnull.
execute_process(COMMAND "${COMPILER}" -xc++ -E -v /dev/null OUTPUT_QUIET ERROR_VARIABLE host)
string(REGEX MATCH "<...> search starts here:\n(.*)\nEnd of search list" host "${host}")
string(REGEX MATCHALL "[^\n ]+" host_includes "${CMAKE_MATCH_1}")
list(TRANSFORM host_includes PREPEND -isystem)
set(common "${COMPILER}" -fsyntax-only -std=c++20 -fobjc-arc -target x86_64-apple-macos13.0
    -nostdinc -nostdinc++ -D_GNU_SOURCE -U__nonnull -isystem "${CMAKE_CURRENT_LIST_DIR}"
    ${host_includes} -I "${SOURCE_DIR}"
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror)

set(backend "${SOURCE_DIR}/capture/sck/sck_capture.mm")
execute_process(COMMAND ${common} "${backend}" "${SOURCE_DIR}/app/main_loop_apple.cc"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the macOS sources do not compile:\n${output}")
endif()

# Misspells a selector where the forwarder implements it (up to the method's brace). The
# SDK's protocols leave the callbacks optional; the backend's own must then go unmet.
file(READ "${backend}" source)
foreach(selector IN ITEMS didOutputSampleBuffer ofType didStopWithError)
  string(REGEX REPLACE "${selector}(:[^;{]*{)" "${selector}s\\1" mutated "${source}")
  file(WRITE "${WORK_DIR}/misspelled.mm" "${mutated}")
  execute_process(COMMAND ${common} "${WORK_DIR}/misspelled.mm"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(mutated STREQUAL source OR result EQUAL 0
     OR NOT output MATCHES "in protocol 'QZStreamCallbacks' not implemented")
    message(FATAL_ERROR "misspelling '${selector}:' went unnoticed:\n${output}")
  endif()
endforeach()
