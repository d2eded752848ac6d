; The Windows installer of Atualizador Quorvel: per user, without administrator rights, with a
; Start-menu entry and an uninstaller. Built by `make package-windows`:
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

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "PortugueseBR"

Section "Atualizador Quorvel"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\desinstalar.exe"
  CreateShortCut "$SMPROGRAMS\Atualizador Quorvel.lnk" "$INSTDIR\quorvel-updater.exe"
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
  RMDir /r "$INSTDIR\locale"
  Delete "$INSTDIR\quorvel-updater.exe"
  Delete "$INSTDIR\quorvel-flash.exe"
  Delete "$INSTDIR\LEIA-ME.txt"
  Delete "$INSTDIR\desinstalar.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
