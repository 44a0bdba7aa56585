# What the Windows packages hold beside vintra.exe and sounds\ (installed by app/ and sound/):
# the DLLs, Qt's windows platform plugin, a qt.conf that points Qt at this folder, Qt's Russian
# texts for its own dialogs, and the licence texts of everything shipped. scripts/windows/package.sh
# installs this into a staging folder, strips the DLLs and makes the zip and the installer.
# Qt Test is for the suites only.
set(vintra_shipped_dlls ${VINTRA_WIN64_DLLS})
list(FILTER vintra_shipped_dlls EXCLUDE REGEX "/Qt6Test\\.dll$")
install(FILES ${vintra_shipped_dlls} DESTINATION .)
install(FILES ${VINTRA_WIN64_PLATFORM_PLUGIN} DESTINATION plugins/platforms)
install(CODE "file(WRITE \"\${CMAKE_INSTALL_PREFIX}/qt.conf\" \"${VINTRA_QT_CONF}\")")
# Debian's Qt translations are the same texts for every platform.
set(VINTRA_QT_RU_QM /usr/share/qt6/translations/qtbase_ru.qm CACHE FILEPATH "Qt's Russian translation")
if(NOT EXISTS ${VINTRA_QT_RU_QM})
  message(FATAL_ERROR "${VINTRA_QT_RU_QM} missing: apt-get install qt6-translations-l10n")
endif()
install(FILES ${VINTRA_QT_RU_QM} DESTINATION translations)
# scripts/windows/build-libs.sh keeps each library's licence texts under licenses/.
install(DIRECTORY ${VINTRA_WIN64_PREFIX}/licenses/ DESTINATION licenses)
