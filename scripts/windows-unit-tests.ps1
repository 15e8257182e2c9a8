# The hosted Windows job's unit tests: the same files as on Linux and macOS, built by
# scripts/windows-build.ps1. Tests that end a process run in a child, the test program
# started again (tests/child_process_windows.cc).
$ErrorActionPreference = 'Stop'
$root = Split-Path -Parent $PSScriptRoot
ctest --test-dir "$root\build" -C Release -L unit --no-tests=error --output-on-failure
if ($LASTEXITCODE -ne 0) { throw "unit tests failed" }
