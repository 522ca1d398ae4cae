# Cross build of the 32-bit Windows program on Debian with MinGW-w64.
# The posix thread model is needed: GoogleTest uses std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(triplet i686-w64-mingw32)
# Debian names the posix thread model's compilers apart; Fedora's, Arch's and
# Homebrew's plain names are those.
find_program(mingw_c_compiler NAMES ${triplet}-gcc-posix ${triplet}-gcc REQUIRED)
find_program(mingw_cxx_compiler NAMES ${triplet}-g++-posix ${triplet}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${mingw_c_compiler})
set(CMAKE_CXX_COMPILER ${mingw_cxx_compiler})
set(CMAKE_RC_COMPILER ${triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
