; The Windows setup program: installs the updater window, the command-line updater and the image
; builder into Program Files, a Start-menu shortcut to the window and an uninstaller registered
; under Add/Remove Programs; nothing else. The uninstaller removes exactly that and leaves the
; user's settings folder (%LOCALAPPDATA%\KelvoFwUpd, the update journals) alone.
;
; makensis -DVERSION=2.0.0 -DFWUPD=kelvo-fwupd.exe -DFWUPD_CLI=kelvo-fwupd-cli.exe
;          -DFWBUILD=kelvo-fwbuild.exe -DOUTFILE=kelvo-fwupd-2.0.0-setup.exe kelvo-fwupd.nsi

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "KELVO firmware updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KelvoFwUpd"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
Icon "${ICON}"
UninstallIcon "${ICON}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; The shortcut is for every user of the machine, as the programs are.
Function .onInit
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetShellVarContext all
FunctionEnd

Section "Install"
    SetOutPath "$INSTDIR"
    File "/oname=kelvo-fwupd.exe" "${FWUPD}"
    File "/oname=kelvo-fwupd-cli.exe" "${FWUPD_CLI}"
    File "/oname=kelvo-fwbuild.exe" "${FWBUILD}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "${SHORTCUT}" "$INSTDIR\kelvo-fwupd.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvo-fwupd.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Delete "${SHORTCUT}"
    Delete "$INSTDIR\kelvo-fwupd.exe"
    Delete "$INSTDIR\kelvo-fwupd-cli.exe"
    Delete "$INSTDIR\kelvo-fwbuild.exe"
    Delete "$INSTDIR\uninstall.exe"
    ; Only when empty: whatever else someone put there stays.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
