; The Windows installer of the QX410 firmware updater (qx410fw-setup.exe), built by makensis from the
; Windows build (packaging/windows/CMakeLists.txt), which writes the included file naming the version, the
; output and the files to pack.
;
; Per user by default: into %LOCALAPPDATA%\Programs, Start menu and uninstall entry under HKCU, no
; administrator rights asked. `/AllUsers` (from an elevated prompt, e.g. for a silent deployment with /S)
; installs for every user instead: Program Files, the common Start menu, HKLM. Nothing else on the system
; changes: no PATH entry, no driver, no file association. The uninstaller removes exactly what was made.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
; The installed files carry the time of installation, not of the build, so the installer's bytes do not
; depend on when the files were built.
SetDateSave off
RequestExecutionLevel user
ManifestDPIAware true

!include "${QX_INSTALLER_FILES}"
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define QX_NAME "QX410 Firmware Updater"
!define QX_PUBLISHER "The qx410fw project"
!define QX_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QX410FirmwareUpdater"
!define QX_PER_USER_DIR "$LOCALAPPDATA\Programs\${QX_NAME}"
!define QX_PER_MACHINE_DIR "$PROGRAMFILES64\${QX_NAME}"

Name "${QX_NAME} ${QX_VERSION}"
OutFile "${QX_OUTFILE}"
InstallDir "${QX_PER_USER_DIR}"
BrandingText "${QX_NAME} ${QX_VERSION}"

VIProductVersion "${QX_VERSION}.0"
VIAddVersionKey "ProductName" "${QX_NAME}"
VIAddVersionKey "ProductVersion" "${QX_VERSION}"
VIAddVersionKey "FileVersion" "${QX_VERSION}"
VIAddVersionKey "FileDescription" "${QX_NAME} setup"
VIAddVersionKey "CompanyName" "${QX_PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${QX_PUBLISHER}"

; The program the uninstall entry shows the icon of.
!ifdef QX_DESKTOP_EXE
  !define QX_MAIN_EXE "qx410fw.exe"
!else
  !define QX_MAIN_EXE "qx410fw-cli.exe"
!endif

; 1 when installing (or uninstalling) for every user.
Var AllUsers

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef QX_DESKTOP_EXE
  !define MUI_FINISHPAGE_RUN "$INSTDIR\qx410fw.exe"
!endif
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Makes the shell folders and the registry root those of every user. Refused without administrator
; rights: the files would land where the user cannot write.
!macro QX_SELECT_ALL_USERS
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Installing for all users needs administrator rights: start the installer from an elevated prompt, or install for yourself only (without /AllUsers)." /SD IDOK
    SetErrorLevel 5
    Quit
  ${EndIf}
  StrCpy $AllUsers 1
  SetShellVarContext all
!macroend

Function .onInit
  StrCpy $AllUsers 0
  SetShellVarContext current
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AllUsers" $1
  ${IfNot} ${Errors}
    ; A folder given with /D= stays; otherwise Program Files. (The per-user folder is named before the
    ; shell folders become every user's.)
    StrCpy $1 "${QX_PER_USER_DIR}"
    !insertmacro QX_SELECT_ALL_USERS
    ${If} $INSTDIR == $1
      StrCpy $INSTDIR "${QX_PER_MACHINE_DIR}"
    ${EndIf}
  ${EndIf}
FunctionEnd

!macro QX_WRITE_UNINSTALL_KEY ROOT
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "DisplayName" "${QX_NAME}"
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "DisplayVersion" "${QX_VERSION}"
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "Publisher" "${QX_PUBLISHER}"
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${QX_MAIN_EXE}"
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr ${ROOT} "${QX_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD ${ROOT} "${QX_UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD ${ROOT} "${QX_UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD ${ROOT} "${QX_UNINSTALL_KEY}" "EstimatedSize" $0
!macroend

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=qx410fw-cli.exe" "${QX_CLI_EXE}"
!ifdef QX_DESKTOP_EXE
  File "/oname=qx410fw.exe" "${QX_DESKTOP_EXE}"
!endif
  File "/oname=README.txt" "${QX_README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${QX_NAME}"
!ifdef QX_DESKTOP_EXE
  CreateShortcut "$SMPROGRAMS\${QX_NAME}\${QX_NAME}.lnk" "$INSTDIR\qx410fw.exe"
!endif
  CreateShortcut "$SMPROGRAMS\${QX_NAME}\${QX_NAME} ReadMe.lnk" "$INSTDIR\README.txt"

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  ${If} $AllUsers == 1
    !insertmacro QX_WRITE_UNINSTALL_KEY HKLM
  ${Else}
    !insertmacro QX_WRITE_UNINSTALL_KEY HKCU
  ${EndIf}
SectionEnd

; The uninstaller was installed for every user when the machine's uninstall entry names its folder.
Function un.onInit
  StrCpy $AllUsers 0
  SetShellVarContext current
  ReadRegStr $0 HKLM "${QX_UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    !insertmacro QX_SELECT_ALL_USERS
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; Only the files this installer put there: a folder chosen by the user may hold other files, which stay
  ; (and the folder with them).
  Delete "$INSTDIR\qx410fw.exe"
  Delete "$INSTDIR\qx410fw-cli.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${QX_NAME}\${QX_NAME}.lnk"
  Delete "$SMPROGRAMS\${QX_NAME}\${QX_NAME} ReadMe.lnk"
  RMDir "$SMPROGRAMS\${QX_NAME}"

  ${If} $AllUsers == 1
    DeleteRegKey HKLM "${QX_UNINSTALL_KEY}"
  ${Else}
    DeleteRegKey HKCU "${QX_UNINSTALL_KEY}"
  ${EndIf}
SectionEnd
