# Compiler and linker settings of the deliverables, and what each deliverable changes in the
# kernels' behaviour.

# Linux (GCC): x86-64 with SSE4.2, fast floating point, signed overflow that wraps, debug
# information and the stack protector. The fast-math flags are given to the compiler only: at
# link time GCC would add start-up code that switches the whole process to flush-to-zero.
# NaN and infinity keep their meaning in comparisons (-fno-finite-math-only): callers do pass
# them, and a box or threshold that is NaN must compare false rather than at the optimiser's whim.
set(CELLPROX_GNU_FLAGS
  -O3 -ffast-math -fno-finite-math-only -fwrapv -fPIC -march=x86-64 -mtune=generic -msse4.2
  -g -fstack-protector-strong
  -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
  -Wall -Wextra)

# macOS (Apple clang), x86-64 only, for macOS 12.7 and later: fast floating point, SSE4.1.
set(CELLPROX_DARWIN_FLAGS
  -O3 -ffast-math -fno-finite-math-only -fwrapv -msse4.1 -g -fstack-protector-strong
  -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
  -Wall -Wextra)
if(APPLE)
  set(CMAKE_OSX_DEPLOYMENT_TARGET "12.7" CACHE STRING "" FORCE)
  set(CMAKE_OSX_ARCHITECTURES "x86_64" CACHE STRING "" FORCE)
endif()

# Windows (MSVC), x86-64 with its SSE2 baseline: precise floating point (so a correctly rounded
# square root), stack cookies, no C++ exceptions.
set(CELLPROX_MSVC_FLAGS /O2 /GS /W4 /Zi /EHs-c- /D_HAS_EXCEPTIONS=0 /GR-)

# CELLPROX_SANITIZE (GCC and Clang; ignored by MSVC): AddressSanitizer and UndefinedBehaviorSanitizer
# on the core and the module, at compile and link time. Every report is fatal. A module built so
# runs only in an interpreter with the ASan runtime preloaded (scripts/sanitize.sh).
set(CELLPROX_SANITIZE_FLAGS
  -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

function(cellprox_apply_compiler_settings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE ${CELLPROX_MSVC_FLAGS})
  elseif(APPLE)
    target_compile_options(${target} PRIVATE ${CELLPROX_DARWIN_FLAGS})
  else()
    target_compile_options(${target} PRIVATE ${CELLPROX_GNU_FLAGS})
  endif()
  if(CELLPROX_SANITIZE AND NOT MSVC)
    # Link options are public so that whatever links the static core links the runtimes too.
    target_compile_options(${target} PRIVATE ${CELLPROX_SANITIZE_FLAGS})
    target_link_options(${target} PUBLIC ${CELLPROX_SANITIZE_FLAGS})
  endif()
endfunction()

# The deliverable's name and behaviour: nt widens boxes in single precision, reports integer
# overflow as a 32-bit C long would, and runs its loops on an OpenMP team; darwin approximates
# square roots.
function(cellprox_apply_deliverable target deliverable)
  target_compile_definitions(${target} PRIVATE CELLPROX_MODULE=cellprox_${deliverable})
  if(deliverable STREQUAL "nt")
    target_compile_definitions(${target} PRIVATE
      CELLPROX_SINGLE_PRECISION_MARGIN CELLPROX_LONG_IS_32_BITS)
  elseif(deliverable STREQUAL "darwin")
    target_compile_definitions(${target} PRIVATE CELLPROX_APPROXIMATE_SQRT)
  endif()
  if(deliverable STREQUAL "nt" OR CELLPROX_OPENMP)
    find_package(OpenMP REQUIRED COMPONENTS CXX)
    target_link_libraries(${target} PRIVATE OpenMP::OpenMP_CXX)
  endif()
  # Built so by choice, the broad phase also searches each row's candidates on the team (the
  # deliverables keep their whole pair pass on the calling thread).
  if(CELLPROX_OPENMP AND NOT deliverable STREQUAL "nt")
    target_compile_definitions(${target} PRIVATE CELLPROX_BALANCED_LOOPS CELLPROX_PARALLEL_PAIR_SEARCH)
  endif()
endfunction()

# The package's own kernels: precise floating point on every platform (their float pass bounds
# its rounding errors, which reassociation would void), and their loops on the package's own
# thread team (platform/loops/thread_team.h), standard threads in every build.
function(cellprox_apply_package_settings target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -fno-fast-math)
  endif()
  set(THREADS_PREFER_PTHREAD_FLAG ON)
  find_package(Threads REQUIRED)
  target_link_libraries(${target} PUBLIC Threads::Threads)
endfunction()

# The module exports its entry symbol and nothing else. On Linux and macOS it takes the C API
# from the interpreter that loads it (no Python library is linked); on Windows it imports it
# from python311.dll, and only dllexport symbols (the entry) are exported.
function(cellprox_apply_module_settings target)
  if(MSVC)
    target_link_options(${target} PRIVATE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT /DEBUG)
  elseif(APPLE)
    target_link_options(${target} PRIVATE "LINKER:-undefined,dynamic_lookup"
      "LINKER:-exported_symbol,_PyInit_${target}")
  else()
    set(exports "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports")
    file(WRITE "${exports}" "{\n  global: PyInit_${target};\n  local: *;\n};\n")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${exports}"
      "LINKER:-z,relro" "LINKER:-z,now" "LINKER:-z,noexecstack")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${exports}")
  endif()
endfunction()
