# Run by cpack (CPACK_PROJECT_CONFIG_FILE) before it builds the Debian
# package: the dependencies, computed from the binaries themselves.
#   QUENNEL_DEPENDS_PROGRAM  the quennel binary: its libraries are Depends
#   QUENNEL_DEPENDS_MODULE   the window module (may be empty): its libraries,
#                            less those already in Depends, are Recommends

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

find_program(QUENNEL_SHLIBDEPS dpkg-shlibdeps)
if(NOT QUENNEL_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps not found (Debian: apt-get install dpkg-dev)")
endif()

# The "shlibs:Depends" line dpkg-shlibdeps computes for one binary.
function(quennel_shlibdeps binary out)
  # dpkg-shlibdeps wants to run from a source package's top folder.
  set(scratch ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
  file(MAKE_DIRECTORY ${scratch}/debian)
  file(TOUCH ${scratch}/debian/control)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${QUENNEL_SHLIBDEPS} -O -e${binary}
    WORKING_DIRECTORY ${scratch}
    OUTPUT_VARIABLE line ERROR_VARIABLE errors RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE ${scratch})
  if(NOT status EQUAL 0 OR NOT line MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps failed on ${binary}:\n${errors}")
  endif()
  string(REGEX REPLACE "^shlibs:Depends=" "" line "${line}")
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

quennel_shlibdeps(${QUENNEL_DEPENDS_PROGRAM} depends)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")

if(QUENNEL_DEPENDS_MODULE)
  quennel_shlibdeps(${QUENNEL_DEPENDS_MODULE} module)
  # Package names already required need not be recommended again.
  string(REPLACE ", " ";" required "${depends}")
  list(TRANSFORM required REPLACE " .*" "")
  string(REPLACE ", " ";" module "${module}")
  set(recommends)
  foreach(entry IN LISTS module)
    string(REGEX MATCH "^[^ ]+" name "${entry}")
    list(FIND required "${name}" found)
    if(found EQUAL -1)
      list(APPEND recommends "${entry}")
    endif()
  endforeach()
  string(REPLACE ";" ", " recommends "${recommends}")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${recommends}")
endif()
