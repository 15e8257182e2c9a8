# Builds with clang and LLVM's C++ library, libc++, as AppleClang builds on a Mac, so that
# what libc++ alone would show fails here first. scripts/build-libcxx.sh uses it, for
# GoogleTest too: a C++ library cannot be mixed with code built against another.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-stdlib=libc++")
