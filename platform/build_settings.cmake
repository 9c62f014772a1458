# Compiler and linker settings of the deliverables.

# Linux: x86-64 with SSE4.2, fast floating point, signed overflow that wraps, debug information
# and the stack protector. The fast-math flags are given to the compiler only: at link time GCC
# would add start-up code that switches the whole process to flush-to-zero.
# NaN and infinity keep their meaning in comparisons (-fno-finite-math-only): callers do pass
# them, and a box or threshold that is NaN must compare false rather than at the optimiser's whim.
set(CELLPROX_GNU_COMPILE_FLAGS
  -O3 -ffast-math -fno-finite-math-only -fwrapv -fPIC -march=x86-64 -mtune=generic -msse4.2
  -g -fstack-protector-strong
  -fvisibility=hidden -fvisibility-inlines-hidden
  -fno-exceptions -fno-rtti
  -Wall -Wextra
)

function(cellprox_apply_build_settings target)
  target_compile_definitions(${target} PRIVATE CELLPROX_MODULE=${CELLPROX_MODULE})
  if(CELLPROX_DELIVERABLE STREQUAL "nt")
    target_compile_definitions(${target} PRIVATE CELLPROX_SINGLE_PRECISION_MARGIN CELLPROX_LONG_IS_32_BITS)
  endif()
  target_compile_options(${target} PRIVATE ${CELLPROX_GNU_COMPILE_FLAGS})
endfunction()

# The module exports its entry symbol and nothing else, and takes the C API from the interpreter
# that loads it (no Python library is linked).
function(cellprox_apply_module_settings target)
  set(exports "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports")
  file(WRITE "${exports}" "{\n  global: PyInit_${CELLPROX_MODULE};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${exports}"
    "LINKER:-z,relro" "LINKER:-z,now" "LINKER:-z,noexecstack")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${exports}")
endfunction()
