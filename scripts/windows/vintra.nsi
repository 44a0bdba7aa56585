; The Windows installer: Program Files\Vintra, a Start-menu entry, and uninstall.exe (which
; starts uninstall.bin, made from uninstall.nsi), which removes exactly what was installed and
; leaves the user's settings (%AppData%\zelk-soft\vintra) alone.
; Made by scripts/windows/package.sh: makensis -INPUTCHARSET UTF8 -DVERSION=... -DVERSION4=...
;   -DSTAGE=... -DLAUNCHER=... -DUNINSTALLER=... -DSIZE_KB=... -DICON=... -DOUTFILE=...
; "setup.exe /S" installs without asking; while Vintra runs from the folder it changes nothing
; and ends with exit code 2 and the reason on the standard error output.
!include "common.nsh"
!include "MUI2.nsh"

Name "${PRODUCT}"
Caption "Установка программы «${PRODUCT}»"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vintra"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; A file that cannot be written is an error, never silently skipped.
AllowSkipFiles off
VIAddVersionKey /LANG=1049 "FileDescription" "Установка программы «${PRODUCT}»"

!define MUI_ICON "${ICON}"
!define MUI_PAGE_HEADER_TEXT "Папка установки"
!define MUI_PAGE_HEADER_SUBTEXT "Выберите, куда установить программу."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Программа будет установлена в указанную папку. Чтобы выбрать другую, нажмите «Обзор...». $_CLICK"
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Папка установки"
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Установка"
!define MUI_PAGE_HEADER_SUBTEXT "Подождите, идёт копирование файлов программы."
!define MUI_INSTFILESPAGE_FINISHHEADER_TEXT "Установка завершена"
!define MUI_INSTFILESPAGE_FINISHHEADER_SUBTEXT "Все файлы программы на месте."
!define MUI_INSTFILESPAGE_ABORTHEADER_TEXT "Установка прервана"
!define MUI_INSTFILESPAGE_ABORTHEADER_SUBTEXT "Программа установлена не полностью."
!insertmacro MUI_PAGE_INSTFILES
; No "run now": the installer runs with administrator rights, and a program started from here
; would run as that administrator and keep its settings in the administrator's profile.
!define MUI_FINISHPAGE_TITLE "Установка завершена"
!define MUI_FINISHPAGE_TEXT "Таймер установлен. Запустить его можно из меню «Пуск».$\r$\n$\r$\nНажмите «Готово», чтобы закрыть окно установки."
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_LANGUAGE "Russian"

Function .onInit
  SetRegView 64
FunctionEnd

Section
  !insertmacro ENSURE_NOT_RUNNING
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  File "/oname=uninstall.exe" "${LAUNCHER}"
  File "/oname=uninstall.bin" "${UNINSTALLER}"
  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\vintra.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zelk Soft"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vintra.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd
