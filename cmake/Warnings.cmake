# Warnings are errors on every target.
set(QUILL_WARNINGS -Wall -Wextra -Werror -Wshadow -Wno-unknown-pragmas)

# quill_product_target(<target>): options for sources that ship on Windows.
function(quill_product_target target)
  target_compile_options(${target} PRIVATE ${QUILL_WARNINGS})
  if(QUILL_WIN32)
    # No exceptions or RTTI in product code; the C runtime is linked statically.
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  endif()
endfunction()

# quill_host_target(<target>): options for winsim, tools and tests.
function(quill_host_target target)
  target_compile_options(${target} PRIVATE ${QUILL_WARNINGS})
endfunction()
