# Install rules and packages.
#   Linux:   cmake --install build --prefix P   P/bin/quennel, the window module
#            in P/<libdir>/quennel/, P/share/man/man1/quennel.1, README and
#            LICENSE in P/share/doc/quennel/.
#            cmake --build build --target package   build/quennel_<version>_<arch>.deb
#   Windows: cmake --install build-win --prefix P   P/quennel.exe, README, LICENSE
#            cmake --build build-win --target package   quennel-<version>-win64.zip
#
# Components: `program` and `window` everywhere, `docs` for a plain install,
# `debian` (excluded from a plain install) for what only the package carries:
# the compressed manual and changelog, and the copyright file.

set(QUENNEL_PACKAGE_MAINTAINER "Quennel authors <quennel@example.org>" CACHE STRING
    "The packages' maintainer, as \"Name <address>\"")

if(WIN32)
  # A zip to unpack anywhere: the program and its two texts side by side.
  install(TARGETS quennel RUNTIME DESTINATION . COMPONENT program)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT docs)
  set(QUENNEL_PACKAGE_COMPONENTS program docs)
  if(quennel_top_level)
    include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
  endif()
  return()
endif()

install(TARGETS quennel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
if(TARGET quennel_fltk)
  install(TARGETS quennel_fltk LIBRARY DESTINATION ${QUENNEL_INSTALL_MODULEDIR} COMPONENT window)
endif()

# The manual carries the version and the module's place.
set(QUENNEL_DOC_DIR ${PROJECT_BINARY_DIR}/doc)
configure_file(${PROJECT_SOURCE_DIR}/doc/quennel.1 ${QUENNEL_DOC_DIR}/quennel.1 @ONLY)
install(FILES ${QUENNEL_DOC_DIR}/quennel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT docs)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)

# --- What the Debian package carries instead ---------------------------------

# The copyright file in the machine-readable format, holding LICENSE's terms.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission is hereby granted" start)
string(SUBSTRING "${license}" ${start} -1 terms)
string(STRIP "${terms}" terms)
string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
set(QUENNEL_LICENSE_TERMS " ${terms}")
configure_file(${PROJECT_SOURCE_DIR}/doc/copyright.in ${QUENNEL_DOC_DIR}/copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# Dated by SOURCE_DATE_EPOCH when set, so the package can be rebuilt
# byte for byte.
string(TIMESTAMP QUENNEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/doc/changelog.in ${QUENNEL_DOC_DIR}/changelog @ONLY)

find_program(QUENNEL_GZIP gzip REQUIRED)
set(compressed)
foreach(name quennel.1 changelog)
  add_custom_command(
    OUTPUT ${QUENNEL_DOC_DIR}/${name}.gz
    COMMAND ${QUENNEL_GZIP} -9 -n -c ${name} > ${name}.gz
    DEPENDS ${QUENNEL_DOC_DIR}/${name}
    WORKING_DIRECTORY ${QUENNEL_DOC_DIR}
    COMMENT "Compressing ${name}")
  list(APPEND compressed ${QUENNEL_DOC_DIR}/${name}.gz)
endforeach()
add_custom_target(quennel_debian_docs ALL DEPENDS ${compressed})

install(FILES ${QUENNEL_DOC_DIR}/quennel.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${QUENNEL_DOC_DIR}/copyright ${QUENNEL_DOC_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# The folders for the administrator's list of trusted keys and for key
# files, and no key: checking signatures stays off until one is put there.
install(DIRECTORY DESTINATION /etc/quennel COMPONENT debian EXCLUDE_FROM_ALL)
install(DIRECTORY DESTINATION /etc/quennel/trusted-keys.d COMPONENT debian EXCLUDE_FROM_ALL)

set(QUENNEL_PACKAGE_COMPONENTS program debian)
if(TARGET quennel_fltk)
  list(APPEND QUENNEL_PACKAGE_COMPONENTS window)
endif()
# A project that builds Quennel inside it makes its own packages.
if(quennel_top_level)
  include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
endif()
