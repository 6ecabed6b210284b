# The release's version and date, read from VERSION (the one place that names
# them), and the header that the resource scripts include.
#
# Sets QUILL_VERSION (major.minor.patch), QUILL_VERSION_MAJOR/MINOR/PATCH,
# QUILL_RELEASE_DATE (YYYY-MM-DD), QUILL_DRIVER_VER (DriverVer's
# "MM/DD/YYYY,major.minor.patch.0") and QUILL_VERSION_INCLUDE_DIR, where
# quill_version.h is written.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/VERSION)
file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION version_line REGEX "^version = ")
file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION date_line REGEX "^date = ")
if(NOT version_line MATCHES "^version = ([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION: no line 'version = MAJOR.MINOR.PATCH' (found '${version_line}')")
endif()
set(QUILL_VERSION_MAJOR ${CMAKE_MATCH_1})
set(QUILL_VERSION_MINOR ${CMAKE_MATCH_2})
set(QUILL_VERSION_PATCH ${CMAKE_MATCH_3})
# Each number is a 16-bit half of a FILEVERSION word.
foreach(number ${QUILL_VERSION_MAJOR} ${QUILL_VERSION_MINOR} ${QUILL_VERSION_PATCH})
  if(number GREATER 65535)
    message(FATAL_ERROR "VERSION: ${number} does not fit a version resource's 16 bits")
  endif()
endforeach()
set(QUILL_VERSION ${QUILL_VERSION_MAJOR}.${QUILL_VERSION_MINOR}.${QUILL_VERSION_PATCH})
if(NOT date_line MATCHES "^date = ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "VERSION: no line 'date = YYYY-MM-DD' (found '${date_line}')")
endif()
set(QUILL_RELEASE_DATE ${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-${CMAKE_MATCH_3})
set(QUILL_DRIVER_VER "${CMAKE_MATCH_2}/${CMAKE_MATCH_3}/${CMAKE_MATCH_1},${QUILL_VERSION}.0")

set(QUILL_VERSION_INCLUDE_DIR ${PROJECT_BINARY_DIR}/version)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quill_version.h.in
               ${QUILL_VERSION_INCLUDE_DIR}/quill_version.h @ONLY)
