# Compiles the macOS-only sources with clang against the stand-in SDK headers beside
# this file, as the Apple build compiles them (-fsyntax-only: nothing links here). Then
# proves the check can fail: each misspelled callback below, in a copy of the backend,
# must fail to compile.
#
# cmake -DCOMPILER=<clang++> -DSOURCE_DIR=<project> -DWORK_DIR=<scratch> -P compile_check.cmake
cmake_minimum_required(VERSION 3.20)

set(common -fsyntax-only -std=c++20 -isystem "${CMAKE_CURRENT_LIST_DIR}" -I "${SOURCE_DIR}"
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror)
set(objcxx -x objective-c++ -fobjc-arc -fblocks -fobjc-runtime=macosx-13.0)

# Sets `result` to the compiler's exit code on `file` and `output` to what it said.
function(compile file language_flags)
  execute_process(COMMAND "${COMPILER}" ${common} ${language_flags} "${file}"
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(result "${code}" PARENT_SCOPE)
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(backend "${SOURCE_DIR}/capture/sck_capture.mm")
foreach(file_and_flags IN ITEMS "${backend}|${objcxx}" "${SOURCE_DIR}/app/main_loop_apple.cc|-xc++")
  string(REPLACE "|" ";" file_and_flags "${file_and_flags}")
  list(POP_FRONT file_and_flags file)
  compile("${file}" "${file_and_flags}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${file} does not compile:\n${output}")
  endif()
endforeach()

# Selector as the backend writes it, a misspelling of it, and the protocol whose
# method would then go missing.
file(READ "${backend}" source)
foreach(row IN ITEMS "didOutputSampleBuffer:|didOutputSampleBuffers:|SCStreamOutput"
                     "ofType:|ofType_:|SCStreamOutput" "didStopWithError:|didStopWithErrors:|SCStreamDelegate")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 written)
  list(GET row 1 misspelled)
  list(GET row 2 protocol)
  string(REPLACE "${written}" "${misspelled}" mutated "${source}")
  file(WRITE "${WORK_DIR}/misspelled.mm" "${mutated}")
  compile("${WORK_DIR}/misspelled.mm" "${objcxx}")
  if(mutated STREQUAL source OR result EQUAL 0 OR NOT output MATCHES "in protocol '${protocol}' not implemented")
    message(FATAL_ERROR "misspelling '${written}' as '${misspelled}' went unnoticed:\n${output}")
  endif()
endforeach()
