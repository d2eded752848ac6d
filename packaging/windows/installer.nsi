; The Windows installer of Atualizador Quorvel: per user, without administrator rights, with
; Start-menu entries for the program and its LEIA-ME, and an uninstaller. Built by `make package-windows`:
;   makensis -DSTAGE=<folder with the programs> -DICON=<icon> -DVERSION=<x.y>
;            -DOUTFILE=<installer.exe> installer.nsi
; The programs are 64-bit; so is the installer (runs where they run, also under a 64-bit Wine).
Target amd64-unicode
!include "MUI2.nsh"

Name "Atualizador Quorvel"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Atualizador Quorvel"
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1046 "ProductName" "Atualizador Quorvel"
VIAddVersionKey /LANG=1046 "CompanyName" "Quorvel"
VIAddVersionKey /LANG=1046 "LegalCopyright" "Quorvel"
VIAddVersionKey /LANG=1046 "FileDescription" "Instalador do Atualizador Quorvel"
VIAddVersionKey /LANG=1046 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1046 "ProductVersion" "${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\AtualizadorQuorvel"

!define MUI_PAGE_CUSTOMFUNCTION_LEAVE RefuseWhileRunning
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\LEIA-ME.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Abrir o Leia-me"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "PortugueseBR"

; Files of a running program cannot be replaced or removed: an install over it or an uninstall
; would leave a mix behind (the program and its catalogue without an uninstaller). Windows
; keeps a running program's file from being opened for writing, which tells without any plugin.
!macro REFUSE_WHILE_RUNNING UN
Function ${UN}RefuseWhileRunning
  Push $0
  Push $1
  StrCpy $1 "quorvel-updater.exe"
check:
  IfFileExists "$INSTDIR\$1" 0 next
  ClearErrors
  FileOpen $0 "$INSTDIR\$1" a
  IfErrors running
  FileClose $0
next:
  StrCmp $1 "quorvel-flash.exe" done
  StrCpy $1 "quorvel-flash.exe"
  Goto check
running:
  MessageBox MB_OK|MB_ICONEXCLAMATION "O Atualizador Quorvel está aberto ($1). Feche-o e tente novamente." /SD IDOK
  Pop $1
  Pop $0
  SetErrorLevel 3
  Abort
done:
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro REFUSE_WHILE_RUNNING ""
!insertmacro REFUSE_WHILE_RUNNING "un."

; A silent install (/S) has no directory page to check on.
Function .onInit
  Call RefuseWhileRunning
FunctionEnd

Function un.onInit
  Call un.RefuseWhileRunning
FunctionEnd

Section "Atualizador Quorvel"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\desinstalar.exe"
  CreateShortCut "$SMPROGRAMS\Atualizador Quorvel.lnk" "$INSTDIR\quorvel-updater.exe"
  ; Beside the program's entry: Explorer hides the install folder under AppData.
  CreateShortCut "$SMPROGRAMS\Atualizador Quorvel - Leia-me.lnk" "$INSTDIR\LEIA-ME.txt"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Atualizador Quorvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Quorvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quorvel-updater.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\desinstalar.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\desinstalar.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\Atualizador Quorvel.lnk"
  Delete "$SMPROGRAMS\Atualizador Quorvel - Leia-me.lnk"
  RMDir /r "$INSTDIR\locale"
  Delete "$INSTDIR\quorvel-updater.exe"
  Delete "$INSTDIR\quorvel-flash.exe"
  Delete "$INSTDIR\LEIA-ME.txt"
  Delete "$INSTDIR\desinstalar.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
