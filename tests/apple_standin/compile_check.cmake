# Compiles the macOS-only sources with clang against the stand-in SDK headers beside
# this file, the way the Apple build compiles them (-fsyntax-only: nothing can be
# linked here). Then makes sure the check still catches a misspelled callback: each
# misspelling below, applied to a copy of the backend, must fail to compile.
#
# cmake -DCOMPILER=<clang++> -DSOURCE_DIR=<project> -DWORK_DIR=<scratch> -P compile_check.cmake

cmake_minimum_required(VERSION 3.20)

if(NOT EXISTS "${COMPILER}")
  message(FATAL_ERROR "clang++ not found at '${COMPILER}': install clang (scripts/install-deps.sh)")
endif()

set(standin "${CMAKE_CURRENT_LIST_DIR}")
set(common -fsyntax-only -std=c++20 -isystem "${standin}" -I "${SOURCE_DIR}"
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror)
set(objcxx -x objective-c++ -fobjc-arc -fblocks -fobjc-runtime=macosx-13.0)

# Runs the compiler on `file`; sets `result` to its exit code and `output` to what it said.
function(compile file language_flags)
  execute_process(COMMAND "${COMPILER}" ${common} ${language_flags} "${file}"
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(result "${code}" PARENT_SCOPE)
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(backend "${SOURCE_DIR}/capture/sck_capture.mm")
compile("${backend}" "${objcxx}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "capture/sck_capture.mm does not compile:\n${output}")
endif()
compile("${SOURCE_DIR}/app/main_loop_apple.cc" "-xc++")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "app/main_loop_apple.cc does not compile:\n${output}")
endif()

# Selector as written in the backend, a misspelling of it, and the protocol whose
# method would then go missing.
set(misspellings
    "didOutputSampleBuffer:|didOutputSampleBuffers:|SCStreamOutput"
    "ofType:|ofType_:|SCStreamOutput"
    "didStopWithError:|didStopWithErrors:|SCStreamDelegate")
file(READ "${backend}" source)
file(MAKE_DIRECTORY "${WORK_DIR}")
foreach(row IN LISTS misspellings)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 written)
  list(GET row 1 misspelled)
  list(GET row 2 protocol)
  string(REPLACE "${written}" "${misspelled}" mutated "${source}")
  if(mutated STREQUAL source)
    message(FATAL_ERROR "'${written}' is not in capture/sck_capture.mm: update this check")
  endif()
  set(copy "${WORK_DIR}/misspelled.mm")
  file(WRITE "${copy}" "${mutated}")
  compile("${copy}" "${objcxx}")
  if(result EQUAL 0 OR NOT output MATCHES "in protocol '${protocol}' not implemented")
    message(FATAL_ERROR "misspelling '${written}' as '${misspelled}' went unnoticed:\n${output}")
  endif()
endforeach()
message(STATUS "macOS backend compiles against the stand-in SDK; misspelled callbacks are caught")
