; What the installer (vintra.nsi) and the uninstaller (uninstall.nsi) share: the names, the look,
; and the check that no Vintra runs from the folder before a file in it is touched.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
; Sharp text at any scaling, and no "Nullsoft Install System" line above the buttons.
ManifestDPIAware true
BrandingText " "

!include "LogicLib.nsh"

!define PRODUCT "Интервальный таймер Винтра"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vintra"
; The exit code of a setup.exe /S or uninstall.exe /S that could not do its work (NSIS's own
; "aborted by the script"); the reason goes to the standard error output, where a script that
; started it can read it.
!define EXIT_FAILED 2

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "CompanyName" "Zelk Soft"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© Zelk Soft"

; Ends the run with EXIT_FAILED and says why: in a box when someone watches, else on the standard
; error output (as the system's ANSI text, as any Windows program writes there).
!macro FAIL_WITH text
  ${IfNot} ${Silent}
    MessageBox MB_OK|MB_ICONSTOP "${text}"
  ${Else}
    System::Call 'kernel32::GetStdHandle(i -12) p.r0'
    ${If} $0 P<> 0
    ${AndIf} $0 P<> -1
      FileWrite $0 "${text}$\r$\n"
    ${EndIf}
  ${EndIf}
  SetErrorLevel ${EXIT_FAILED}
  Quit
!macroend

; A running vintra.exe keeps itself and its DLLs from being written or deleted; copying or
; removing around it would leave a mixed or half-removed program behind. Whoever watches is asked
; to close it and try again; a silent run fails at once and names the reason.
!macro ENSURE_NOT_RUNNING
  ${Do}
    ${IfNot} ${FileExists} "$INSTDIR\vintra.exe"
      ${Break}
    ${EndIf}
    ClearErrors
    FileOpen $0 "$INSTDIR\vintra.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
    ${EndIf}
    ${If} ${Silent}
      !insertmacro FAIL_WITH "Программа «${PRODUCT}» запущена из папки $INSTDIR. Закройте её и повторите."
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Программа «${PRODUCT}» сейчас запущена. Закройте её и нажмите «Повтор»." IDRETRY +3
    SetErrorLevel ${EXIT_FAILED}
    Quit
  ${Loop}
!macroend
