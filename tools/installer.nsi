; The Windows installer (NSIS). tools/package.sh runs makensis with
;   -DVERSION=x.y.z -DSTAGE=<folder with the files> -DOUTFILE=<setup.exe> [-DX64]
; Reading raw volumes needs administrator rights, so it installs for all users.
Unicode true
!ifdef X64
  Target amd64-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
Name "Corvanel ${VERSION}"
OutFile "${OUTFILE}"
!ifdef X64
  InstallDir "$PROGRAMFILES64\Corvanel"
!else
  InstallDir "$PROGRAMFILES\Corvanel"
!endif
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Corvanel"
VIAddVersionKey "FileDescription" "Corvanel setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 The Corvanel developers (MIT License)"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvanel"
!define SHORTCUT "$SMPROGRAMS\Corvanel.lnk"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles
LicenseData "${STAGE}\LICENSE.txt"

!macro FILES OP
  ${OP} "Corvanel.exe"
  ${OP} "Corvanel.chm"
  ${OP} "corvanel-cli.exe"
  ${OP} "LICENSE.txt"
  ${OP} "THIRD-PARTY-NOTICES.txt"
!macroend
!macro INSTALL_FILE NAME
  File "${STAGE}\${NAME}"
!macroend
!macro DELETE_FILE NAME
  Delete "$INSTDIR\${NAME}"
!macroend

Function .onInit
  SetShellVarContext all
!ifdef X64
  SetRegView 64
!endif
FunctionEnd

Function un.onInit
  SetShellVarContext all
!ifdef X64
  SetRegView 64
!endif
FunctionEnd

Section
  SetOutPath "$INSTDIR"
  !insertmacro FILES "!insertmacro INSTALL_FILE"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\Corvanel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Corvanel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Corvanel developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Corvanel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section Uninstall
  !insertmacro FILES "!insertmacro DELETE_FILE"
  Delete "$INSTDIR\Uninstall.exe"
  Delete "${SHORTCUT}"
  ; Only an empty folder goes: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
