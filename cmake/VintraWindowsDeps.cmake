# The Windows libraries come from scripts/windows/build-libs.sh, which installs CMake packages for
# them. They are given the names the Linux build's pkg-config modules have, so every target links
# the same names on both platforms.
find_package(SndFile CONFIG REQUIRED)
find_package(SDL2 CONFIG REQUIRED)
add_library(PkgConfig::SNDFILE INTERFACE IMPORTED)
target_link_libraries(PkgConfig::SNDFILE INTERFACE SndFile::sndfile)
add_library(PkgConfig::SDL2 INTERFACE IMPORTED)
target_link_libraries(PkgConfig::SDL2 INTERFACE SDL2::SDL2)
# SDL.h would otherwise rename main() to SDL_main and expect SDL2main to provide the real one; our
# main() is Qt's ordinary one and SDL is only the audio output.
target_compile_definitions(PkgConfig::SDL2 INTERFACE SDL_MAIN_HANDLED)

# The DLLs a Windows executable here needs beside it to start (under Wine for the tests, and in
# the packages): the libraries', Qt's and the compiler's runtime.
set(VINTRA_WIN64_DLLS)
foreach(dll Qt6Core Qt6Gui Qt6Widgets Qt6Test SDL2 sndfile libmpg123-0 libmp3lame-0)
  file(GLOB found "${VINTRA_WIN64_PREFIX}/bin/${dll}.dll" "${VINTRA_WIN64_PREFIX}/bin/lib${dll}.dll")
  if(NOT found)
    message(FATAL_ERROR "${dll}.dll not found in ${VINTRA_WIN64_PREFIX}/bin")
  endif()
  list(APPEND VINTRA_WIN64_DLLS ${found})
endforeach()
foreach(dll libstdc++-6 libgcc_s_seh-1 libwinpthread-1)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}.dll OUTPUT_VARIABLE found
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}")
    message(FATAL_ERROR "the compiler does not know ${dll}.dll")
  endif()
  list(APPEND VINTRA_WIN64_DLLS ${found})
endforeach()
set(VINTRA_WIN64_PLATFORM_PLUGIN "${VINTRA_WIN64_PREFIX}/plugins/platforms/qwindows.dll")

# Every executable of the build (the program and the test suites) goes into one folder with the
# DLLs, the platform plugin and a qt.conf that points Qt there, so each one starts as it would
# from the unpacked zip.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${VINTRA_RUNTIME_DIR})
file(COPY ${VINTRA_WIN64_DLLS} DESTINATION ${VINTRA_RUNTIME_DIR})
file(COPY ${VINTRA_WIN64_PLATFORM_PLUGIN} DESTINATION ${VINTRA_RUNTIME_DIR}/plugins/platforms)
set(VINTRA_QT_CONF "[Paths]\nPrefix = .\nPlugins = plugins\nTranslations = translations\n")
file(WRITE ${VINTRA_RUNTIME_DIR}/qt.conf "${VINTRA_QT_CONF}")
