# The Debian package made by `cpack -G DEB` (scripts/package): everything `cmake --install`
# puts, below /usr, with the run-time dependencies found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME vornbackup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorn FTP Backup developers")
set(CPACK_PACKAGE_CONTACT "Vorn FTP Backup developers <support@vornbackup.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps copies of FTP sites, on a schedule")
set(CPACK_PACKAGE_DESCRIPTION
    "Vorn FTP Backup keeps copies of FTP sites. Each backup project names a source FTP or FTPS\n\
server, its login and a folder on it, and where the copy goes: a local folder, one\n\
password-protected zip archive per run, or a folder on another FTP server. Projects can\n\
carry filter rules and a schedule.\n\
.\n\
The package holds the desktop program (vornbackup), the headless command\n\
(vornbackup-cli) and a systemd user unit that runs the scheduler without a window.\n\
Runs can send alerts by e-mail and web hook, and passwords can be kept in the desktop's\n\
keyring.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vornbackup.example/")
# Among them both SSH libraries of SFTP: libssh2-1 (the session) and libssh-4 (the second
# connection that reads large files), found in the programs by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(VORN_BUILD_GUI)
    # The window opens the manual and web links through xdg-open.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
    # Passwords in the keyring (settings keyring=1) need a Secret Service.
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring | kwalletmanager")
endif()

include(CPack)
