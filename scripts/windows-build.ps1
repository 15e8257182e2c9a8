# The hosted Windows job's build: qztap, its unit tests and the Windows check's helpers
# with Visual Studio 2022's compiler, warnings as errors (/W4 /WX), in build\Release.
# GoogleTest comes from vcpkg, which the hosted image carries (VCPKG_INSTALLATION_ROOT),
# built as static libraries on the dynamic C runtime, as CMake builds qztap.
$ErrorActionPreference = 'Stop'
$root = Split-Path -Parent $PSScriptRoot
$vcpkg = if ($env:VCPKG_INSTALLATION_ROOT) { $env:VCPKG_INSTALLATION_ROOT } else { 'C:\vcpkg' }
$triplet = 'x64-windows-static-md'

function Invoke-Checked {
  & $args[0] $args[1..($args.Count - 1)]
  if ($LASTEXITCODE -ne 0) { throw "$($args[0]) failed with exit code $LASTEXITCODE" }
}

Invoke-Checked "$vcpkg\vcpkg.exe" install "gtest:$triplet"
Invoke-Checked cmake -S $root -B "$root\build" -G 'Visual Studio 17 2022' -A x64 `
  -DQZTAP_WERROR=ON -DQZTAP_BENCHMARKS=OFF `
  "-DCMAKE_TOOLCHAIN_FILE=$vcpkg\scripts\buildsystems\vcpkg.cmake" "-DVCPKG_TARGET_TRIPLET=$triplet"
Invoke-Checked cmake --build "$root\build" --config Release --parallel
Get-ChildItem "$root\build\Release\*.exe" | Format-Table -AutoSize Name, Length |
  Out-String | Write-Output
