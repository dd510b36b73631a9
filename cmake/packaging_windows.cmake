# Windows: the two programs in bin\ with README.txt, LICENSE.txt and
# NOTICES.txt beside it, packed as an installer (cpack -G NSIS, with Debian's
# makensis) and as a portable .zip (cpack -G ZIP); scripts/package-windows.sh
# runs both. Included by cmake/packaging.cmake.
set(CPACK_PACKAGE_FILE_NAME ${ORVANE_PACKAGE}-${PROJECT_VERSION}-win64)

# bin\, because that is the folder the installer adds to PATH.
install(TARGETS orvane-flash orvane-upgrade RUNTIME DESTINATION bin)

# The texts in Windows line ends, which every Notepad shows as lines.
set(text_dir ${CMAKE_BINARY_DIR}/package-text)
configure_file(${CMAKE_SOURCE_DIR}/docs/windows/README.txt.in ${text_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${text_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/docs/windows/NOTICES.txt ${text_dir}/NOTICES.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${text_dir}/README.txt ${text_dir}/LICENSE.txt ${text_dir}/NOTICES.txt DESTINATION .)

set(CPACK_GENERATOR NSIS ZIP)
# Values reach the NSIS script as they are written here.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Orvane 5800 Upgrade Utility")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ${ORVANE_PACKAGE})
set(CPACK_RESOURCE_FILE_LICENSE ${text_dir}/LICENSE.txt)

set(CPACK_NSIS_PACKAGE_NAME "Orvane 5800 Imager Firmware Upgrade Utility")
set(CPACK_NSIS_DISPLAY_NAME "Orvane 5800 Imager Firmware Upgrade Utility ${PROJECT_VERSION}")
set(CPACK_NSIS_CONTACT ${CPACK_PACKAGE_CONTACT})
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_MUI_ICON ${CMAKE_SOURCE_DIR}/shell/resources/app_icon.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_SOURCE_DIR}/shell/resources/app_icon.ico)
# The icon in the system's list of programs.
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\orvane-upgrade.exe")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# An options page offers PATH (none, all users, this user); unattended,
# /PATH=all, /PATH=user or /PATH=no chooses.
set(CPACK_NSIS_MODIFY_PATH ON)
# A 64-bit installer, like the programs it carries: it runs where they do
# (also under a 64-bit-only Wine) and its $PROGRAMFILES64 is the real one.
# The uninstaller also takes away what the stock script leaves behind: the
# vendor's registry key once it is empty, and the user's PATH value that it
# emptied.
set(CPACK_NSIS_DEFINES [=[
  Target amd64-unicode
  !include FileFunc.nsh
  Function un.onUninstSuccess
    DeleteRegKey /ifempty SHCTX "Software\Orvane"
    ClearErrors
    ReadRegStr $0 HKCU "Environment" "PATH"
    IfErrors orvane_user_path_done
    StrCmp $0 "" 0 orvane_user_path_done
    DeleteRegValue HKCU "Environment" "PATH"
    orvane_user_path_done:
  FunctionEnd
]=])
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS [=[
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PATH=" $R1
  IfErrors orvane_path_done
  StrCpy $R2 "1"
  StrCpy $R3 "0"
  StrCpy $R4 "0"
  StrCmp $R1 "no" orvane_path_chosen
  StrCpy $R2 "0"
  StrCpy $R3 "1"
  StrCmp $R1 "all" orvane_path_chosen
  StrCpy $R3 "0"
  StrCpy $R4 "1"
  StrCmp $R1 "user" orvane_path_chosen
  MessageBox MB_OK|MB_ICONSTOP "/PATH= takes all, user or no, not '$R1'." /SD IDOK
  RMDir "$INSTDIR"
  Abort
  orvane_path_chosen:
  !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 2" "State" $R2
  !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 3" "State" $R3
  !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 4" "State" $R4
  orvane_path_done:
  ; Adding to PATH is skipped when this process's PATH holds bin already, but
  ; removing an earlier installation may have taken bin off the registry's
  ; PATH since the process started: it gets the registry's PATH again.
  ReadRegStr $R5 HKLM "SYSTEM\CurrentControlSet\Control\Session Manager\Environment" "PATH"
  ReadRegStr $R6 HKCU "Environment" "PATH"
  StrCmp $R6 "" +2
  StrCpy $R5 "$R5;$R6"
  ExpandEnvStrings $R5 $R5
  System::Call 'kernel32::SetEnvironmentVariable(t "PATH", t R5)'
]=])
# The Start-menu link names the program's own icon (app_icon.ico, built into
# it), so it shows that icon whatever the shell would pick.
set(ORVANE_LINK "Orvane 5800 Firmware Upgrade.lnk")
set(CPACK_NSIS_CREATE_ICONS_EXTRA
    "  CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\${ORVANE_LINK}\" \"$INSTDIR\\bin\\orvane-upgrade.exe\" \"\" \"$INSTDIR\\bin\\orvane-upgrade.exe\" 0")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "  Delete \"$SMPROGRAMS\\$MUI_TEMP\\${ORVANE_LINK}\"")

include(CPack)
