# CPack: a Debian package on Linux, a zip for the Windows build.
# QUENNEL_PACKAGE_COMPONENTS lists the install components the package holds.

set(CPACK_PACKAGE_NAME quennel)
set(CPACK_PACKAGE_VENDOR "the Quennel authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUENNEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "update-then-launch tool for in-house programs")
set(CPACK_PACKAGE_DESCRIPTION "\
Quennel keeps an installed program up to date and then starts it. Every
desktop shortcut starts Quennel with two paths: the program's newest version,
on a file share, and the installed copy. When the share holds a newer
version, Quennel copies it in safely (staged, checked, flushed and renamed
in one step) while a small progress window in French is shown, then starts
the installed program with the shortcut's arguments. Where the administrator
lists trusted minisign keys in /etc/quennel/trusted-keys, only a new version
signed with one of them is installed.

Without a display, or without the FLTK libraries, it does the same job
headless, writing its messages to standard error.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The package holds exactly these components (one monolithic package).
set(CPACK_INSTALL_CMAKE_PROJECTS)
foreach(component IN LISTS QUENNEL_PACKAGE_COMPONENTS)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};Quennel;${component};/")
endforeach()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "quennel-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  # (The Windows program is linked stripped already.)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # CPack's own dependency scan would read the window module too, and its
  # GUI libraries would become hard dependencies of a program that runs
  # without them. DebianDepends.cmake runs dpkg-shlibdeps on each part
  # instead: the program's needs go to Depends, the module's to Recommends.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(QUENNEL_DEPENDS_PROGRAM "$<TARGET_FILE:quennel>")
  if(TARGET quennel_fltk)
    set(QUENNEL_DEPENDS_MODULE "$<TARGET_FILE:quennel_fltk>")
  else()
    set(QUENNEL_DEPENDS_MODULE "")
  endif()
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake CONTENT "\
set(QUENNEL_DEPENDS_PROGRAM \"${QUENNEL_DEPENDS_PROGRAM}\")
set(QUENNEL_DEPENDS_MODULE \"${QUENNEL_DEPENDS_MODULE}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/DebianDepends.cmake\")
")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
endif()

include(CPack)
