# The version's forms, all from project(VERSION):
#   QUENNEL_VERSION_TEXT  "5.00.0011": major, minor on two digits, build on four
#   platform/Version.h    generated into QUENNEL_GENERATED_DIR

set(QUENNEL_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(QUENNEL_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
if(QUENNEL_VERSION_PATCH STREQUAL "")
  set(QUENNEL_VERSION_PATCH 0)
endif()
if(QUENNEL_VERSION_TWEAK STREQUAL "")
  set(QUENNEL_VERSION_TWEAK 0)
endif()

# Left-pads the number in ${var} with zeros to `width` digits.
function(quennel_pad var width)
  set(text "${${var}}")
  string(LENGTH "${text}" length)
  while(length LESS width)
    string(PREPEND text "0")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

set(minor ${PROJECT_VERSION_MINOR})
set(build ${QUENNEL_VERSION_TWEAK})
quennel_pad(minor 2)
quennel_pad(build 4)
set(QUENNEL_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${minor}.${build}")
unset(minor)
unset(build)

set(QUENNEL_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/platform/Version.h.in
               ${QUENNEL_GENERATED_DIR}/platform/Version.h @ONLY)
