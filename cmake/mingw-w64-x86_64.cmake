# Cross-compiling for Windows x64 with mingw-w64 (Debian's posix-threads variant, the one
# whose libstdc++ has std::thread and std::mutex). Test programs run under wine, so ctest
# and test discovery work from the Linux side as they do natively.
#
# Libraries for the target (Boost.Thread, GoogleTest, and links to the header-only ones)
# live in one prefix that scripts/windows-build.sh prepares; pass it as
# -DORVETTE_WINDOWS_DEPS=<prefix>. Nothing is ever searched in the host's /usr: a host
# header or library in a Windows build is a mistake that should fail loudly.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(ORVETTE_WINDOWS_DEPS "" CACHE PATH "Prefix holding the Windows builds of the dependencies")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(ORVETTE_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${ORVETTE_WINDOWS_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe per program: no libstdc++, libgcc or winpthread DLLs to carry
# around (or to find on wine's path).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
