; The uninstaller, installed beside vintra.exe as uninstall.bin and started by uninstall.exe
; (app/uninstall_win.cpp) from a copy in the temporary folder, with the program's folder in /D=:
; removes exactly the files the installer put there (the list package.sh writes from the staged
; folder), the Start-menu entry and the uninstall entry, and leaves the user's settings and any
; file of the user's own alone.
;
; It is an ordinary NSIS program rather than NSIS's built-in uninstaller, which copies itself to
; the temporary folder, starts the copy and returns at once: "uninstall.exe /S" would end while
; the files were still being deleted. uninstall.exe waits for this one instead, and this one
; moves uninstall.exe (which runs, and so can be renamed but not deleted) out of the folder into
; the temporary folder, where it is deleted at the next restart; then the folder goes.
; Exit codes: 0 done, 1 the user said no, 2 not done (the reason on the standard error output).
!include "common.nsh"
!include "MUI2.nsh"

Name "${PRODUCT}"
Caption "Удаление программы «${PRODUCT}»"
OutFile "${OUTFILE}"
VIAddVersionKey /LANG=1049 "FileDescription" "Удаление программы «${PRODUCT}»"
ShowInstDetails nevershow

!define MUI_ICON "${ICON}"
!define MUI_PAGE_HEADER_TEXT "Удаление"
!define MUI_PAGE_HEADER_SUBTEXT "Подождите, идёт удаление файлов программы."
!define MUI_INSTFILESPAGE_FINISHHEADER_TEXT "Удаление завершено"
!define MUI_INSTFILESPAGE_FINISHHEADER_SUBTEXT "Программа удалена. Ваши настройки сохранены."
!define MUI_INSTFILESPAGE_ABORTHEADER_TEXT "Удаление прервано"
!define MUI_INSTFILESPAGE_ABORTHEADER_SUBTEXT "Программа удалена не полностью."
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

Function .onInit
  SetRegView 64
  ${If} $INSTDIR == ""
    !insertmacro FAIL_WITH "Чтобы удалить программу, запустите uninstall.exe из её папки."
  ${EndIf}
  ${IfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION "Удалить программу «${PRODUCT}»? Ваши настройки останутся на компьютере." IDYES +3
    SetErrorLevel 1
    Quit
  ${EndIf}
FunctionEnd

; One installed file: deleted, and remembered in $R9 when it stays (the first such one).
!macro REMOVE_FILE name
  Delete "$INSTDIR\${name}"
  ${If} $R9 == ""
  ${AndIf} ${FileExists} "$INSTDIR\${name}"
    StrCpy $R9 "$INSTDIR\${name}"
  ${EndIf}
!macroend

Section
  !insertmacro ENSURE_NOT_RUNNING
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ; Delete "$INSTDIR\..." for every installed file, then RMDir for every installed folder,
  ; deepest first; $R9 names the first file that stayed.
  StrCpy $R9 ""
  !include "${FILE_LIST}"
  ${If} $R9 != ""
    !insertmacro FAIL_WITH "Файл $R9 не удалось удалить. Закройте программы, которые могут его использовать, и повторите удаление."
  ${EndIf}
  !insertmacro REMOVE_FILE "uninstall.bin"
  ${If} $R9 != ""
    !insertmacro FAIL_WITH "Файл $R9 не удалось удалить. Закройте программы, которые могут его использовать, и повторите удаление."
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; uninstall.exe waits for us: out of the folder with it (MOVEFILE_REPLACE_EXISTING over the
  ; empty temporary file). Where the temporary folder is on another disk the rename fails, and
  ; uninstall.exe and the folder go at the next restart instead.
  GetTempFileName $0
  System::Call 'kernel32::MoveFileExW(w "$INSTDIR\uninstall.exe", w r0, i 1) i.r1'
  ${If} $1 <> 0
    Delete /REBOOTOK "$0"
  ${Else}
    Delete $0
    Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  ${EndIf}
  RMDir /REBOOTOK "$INSTDIR"
SectionEnd
