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

# Wine with the address space laid out the same each time (setarch -R). Debian's wine64 loader
# has no preloader: it is linked at 0x7d000000 and reserves the page wine needs at 0x7ffe0000
# (the shared user data) only once running. Kernels that place the program break anywhere in
# the gigabyte after the executable sometimes put the loader's heap over that page, and wine
# then ends the program at once with exit code 1, silently unless WINEDEBUG shows errors.
# Without randomisation the heap starts right after the loader, 48 MB below that page.
# Some sandboxes forbid turning randomisation off; wine alone still works there, as before.
find_program(ORVETTE_SETARCH setarch)
set(orvette_norandom_works 1)
if(ORVETTE_SETARCH)
  execute_process(COMMAND ${ORVETTE_SETARCH} -R true RESULT_VARIABLE orvette_norandom_works
                  OUTPUT_QUIET ERROR_QUIET)
endif()
if(ORVETTE_SETARCH AND orvette_norandom_works EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVETTE_SETARCH} -R wine)
else()
  message(WARNING "setarch -R is not available here: wine runs the tests with a randomised "
                  "address space, and now and then one ends at once with exit code 1")
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
