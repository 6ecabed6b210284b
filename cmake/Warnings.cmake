# Warnings are errors on every target.
set(QUILL_WARNINGS -Wall -Wextra -Werror -Wshadow -Wno-unknown-pragmas)

# quill_product_target(<target>): options for sources that ship on Windows.
function(quill_product_target target)
  target_compile_options(${target} PRIVATE ${QUILL_WARNINGS})
  if(QUILL_WIN32)
    # No exceptions or RTTI in product code; the C runtime is linked statically.
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  else()
    # On the host the program's C heap is winsim's (winsim/crt/crt_heap.h):
    # the archive's calls to malloc, calloc and free are renamed once it is
    # built, so that a run can count and fail them without touching anyone
    # else's. Object libraries are linked as they are: keep the C heap out
    # of them.
    get_target_property(kind ${target} TYPE)
    if(kind STREQUAL "STATIC_LIBRARY")
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY}
                --redefine-sym malloc=winsim_crt_malloc
                --redefine-sym calloc=winsim_crt_calloc
                --redefine-sym free=winsim_crt_free
                $<TARGET_FILE:${target}>
        VERBATIM)
    endif()
  endif()
endfunction()

# quill_host_target(<target>): options for winsim, tools and tests.
function(quill_host_target target)
  target_compile_options(${target} PRIVATE ${QUILL_WARNINGS})
endfunction()
