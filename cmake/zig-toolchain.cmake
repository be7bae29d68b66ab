# Release builds for Linux x86-64 with zig's C and C++ toolchain, so that the
# extension module links against glibc 2.17's symbol versions (manylinux2014)
# whatever glibc the building machine has. zig brings its own libc headers and
# links its libc++ statically; OpenSSL's libcrypto (the Base64 encoder) is taken
# as a static archive so the module needs no shared library beyond glibc's.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DQB_ZIG=/path/to/zig ...
#
# QB_ZIG defaults to the `zig` on PATH; `python -m ziglang env` is not needed:
# the PyPI package ships the binary beside its __init__.py.
set(QB_ZIG_TARGET "x86_64-linux-gnu.2.17" CACHE STRING "zig target triple with glibc version")
if(NOT QB_ZIG)
  find_program(QB_ZIG zig REQUIRED)
endif()
# Try-compile projects read the toolchain file again; hand them the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QB_ZIG QB_ZIG_TARGET QB_OPENSSL_PREFIX)

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

# libcrypto as a static archive. Its headers are staged in a folder of their
# own: adding the whole system include folder would put the build machine's
# glibc headers in front of zig's.
set(QB_OPENSSL_PREFIX "/usr" CACHE PATH "where OpenSSL's headers and libcrypto.a live")
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_file(_qb_libcrypto libcrypto.a
          PATHS ${QB_OPENSSL_PREFIX}/lib/x86_64-linux-gnu ${QB_OPENSSL_PREFIX}/lib64
                ${QB_OPENSSL_PREFIX}/lib NO_DEFAULT_PATH REQUIRED)
set(_qb_staged ${CMAKE_BINARY_DIR}/openssl-include)
file(MAKE_DIRECTORY ${_qb_staged}/openssl)
file(GLOB _qb_headers ${QB_OPENSSL_PREFIX}/include/openssl/*.h
     ${QB_OPENSSL_PREFIX}/include/x86_64-linux-gnu/openssl/*.h)
foreach(_h ${_qb_headers})
  get_filename_component(_name ${_h} NAME)
  file(CREATE_LINK ${_h} ${_qb_staged}/openssl/${_name} SYMBOLIC)
endforeach()
set(OPENSSL_INCLUDE_DIR ${_qb_staged} CACHE PATH "" FORCE)
set(OPENSSL_CRYPTO_LIBRARY ${_qb_libcrypto} CACHE FILEPATH "" FORCE)
