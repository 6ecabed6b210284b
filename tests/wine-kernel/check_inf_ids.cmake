# cmake -DIDS=include/quillfw_public.h -DINF=driver/quillfw.inf -P check_inf_ids.cmake
# quillfw.inf's models sections (undecorated for Windows 98, Me and 2000,
# then 32-bit and 64-bit Windows XP and later) name the update-mode hardware
# id of quillfw_public.h, and no other USB id.
file(STRINGS ${IDS} define REGEX "^#define QUILLFW_HARDWARE_ID ")
string(REGEX REPLACE "^#define QUILLFW_HARDWARE_ID \"(.*)\"$" "\\1" id "${define}")
string(REPLACE "\\\\" "\\" id "${id}")
if(NOT id MATCHES "^USB\\\\VID_[0-9A-F]+&PID_[0-9A-F]+$")
  message(FATAL_ERROR "no hardware id in ${IDS}: '${id}'")
endif()
file(STRINGS ${INF} models REGEX "^[^;]*=[^;]*Install[^;]*,")
list(LENGTH models count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "${INF}: expected three model lines (98/Me/2000, x86, amd64), found ${count}: ${models}")
endif()
foreach(line IN LISTS models)
  string(REGEX REPLACE "^.*,[ \t]*([^ \t;]+)[ \t]*$" "\\1" named "${line}")
  if(NOT named STREQUAL id)
    message(FATAL_ERROR "${INF}: model line '${line}' names '${named}', quillfw_public.h says '${id}'")
  endif()
endforeach()
message(STATUS "quillfw.inf names ${id} for 98/Me/2000, x86 and amd64")
