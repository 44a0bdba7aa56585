# Cross-building for 64-bit Windows with Debian's mingw-w64 compilers. The posix thread model is
# the one with std::thread in GCC 12, hence the -posix compiler names.
#
# VINTRA_WIN64_PREFIX names the folder scripts/windows/build-libs.sh installed the Windows
# libraries into (Qt, SDL2, libsndfile). Tests run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VINTRA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VINTRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VINTRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VINTRA_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${VINTRA_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VINTRA_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT VINTRA_WIN64_PREFIX AND DEFINED ENV{VINTRA_WIN64_PREFIX})
  set(VINTRA_WIN64_PREFIX "$ENV{VINTRA_WIN64_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${VINTRA_MINGW_TRIPLET})
if(VINTRA_WIN64_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${VINTRA_WIN64_PREFIX}")
  list(APPEND CMAKE_PREFIX_PATH "${VINTRA_WIN64_PREFIX}")
endif()
# Programs (moc, rcc, uic, wine) come from the build machine; headers and libraries only from the
# Windows side. Packages may be either: Qt's host tools are found through Debian's own Qt.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# A Qt built for Windows takes moc, rcc and uic from Debian's Qt of the same version. Debian keeps
# its Qt CMake packages under the multiarch folder, so both paths are needed.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
