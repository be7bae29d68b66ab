# Release builds for Linux with zig's C and C++ toolchain, for any of its
# targets from any build machine: glibc targets carry the glibc version whose
# symbol versions the module may use (2.17 for manylinux2014), musl targets
# link against musl's libc.so. zig brings its own libc headers and links its
# libc++ statically, and libbase64 is built from source, so the module needs
# no shared library beyond the C library's own.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DQB_ZIG=/path/to/zig \
#         -DQB_ZIG_TARGET=aarch64-linux-gnu.2.17 ...
#
# QB_ZIG defaults to the `zig` on PATH; `python -m ziglang env` is not needed:
# the PyPI package ships the binary beside its __init__.py.
set(QB_ZIG_TARGET "x86_64-linux-gnu.2.17" CACHE STRING "zig target triple with glibc version")
if(NOT QB_ZIG)
  find_program(QB_ZIG zig REQUIRED)
endif()
# Try-compile projects read the toolchain file again; hand them the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QB_ZIG QB_ZIG_TARGET)

# CMake wants one executable per compiler: small wrappers put `zig c++ -target`
# in front of the arguments.
set(_qb_wrappers ${CMAKE_BINARY_DIR}/zig-wrappers)
foreach(_tool cc c++ ar ranlib)
  if(_tool STREQUAL "cc" OR _tool STREQUAL "c++")
    set(_args "${_tool} -target ${QB_ZIG_TARGET}")
  else()
    set(_args "${_tool}")
  endif()
  file(CONFIGURE OUTPUT ${_qb_wrappers}/zig-${_tool}
       CONTENT "#!/bin/sh\nexec \"${QB_ZIG}\" ${_args} \"$@\"\n" @ONLY)
  file(CHMOD ${_qb_wrappers}/zig-${_tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${_qb_wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${_qb_wrappers}/zig-c++)
# zig's own archiver, also for link-time optimisation (which asks for the
# compiler's archiver by these names).
foreach(_var CMAKE_AR CMAKE_C_COMPILER_AR CMAKE_CXX_COMPILER_AR)
  set(${_var} ${_qb_wrappers}/zig-ar CACHE FILEPATH "" FORCE)
endforeach()
foreach(_var CMAKE_RANLIB CMAKE_C_COMPILER_RANLIB CMAKE_CXX_COMPILER_RANLIB)
  set(${_var} ${_qb_wrappers}/zig-ranlib CACHE FILEPATH "" FORCE)
endforeach()

# zig links libc++ and libc++abi into the module itself.
set(QB_STATIC_CXX_RUNTIME OFF CACHE BOOL "" FORCE)

# The linker strips the module: binutils' strip on the build machine knows
# only its own architecture, so the install step's strip has nothing to do.
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -s")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -s")
find_program(_qb_true true REQUIRED)
set(CMAKE_STRIP ${_qb_true} CACHE FILEPATH "" FORCE)
