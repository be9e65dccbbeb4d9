# Header-only libraries from Debian's packages, as INTERFACE targets any target links:
#   amp_boost_headers   Boost (Asio, System), /usr/include/boost
#   amp_json_headers    nlohmann JSON, /usr/include/nlohmann
# A native build finds them where the compiler looks anyway. A cross build must not look in
# /usr/include (its C library and platform headers are Linux's), so it gets a folder of its own in
# the build folder holding a symbolic link to each library's headers, and nothing else; it is a
# SYSTEM folder, so the libraries' own warnings do not count against ours.
include_guard(GLOBAL)

set(AMP_CROSS_INCLUDE_DIR ${CMAKE_BINARY_DIR}/cross-include)

function(amp_header_library target name probe package)
  add_library(${target} INTERFACE)
  if(NOT EXISTS /usr/include/${name}/${probe})
    message(FATAL_ERROR "/usr/include/${name}/${probe} is missing: install ${package} "
                        "(scripts/install-deps.sh does)")
  endif()
  if(CMAKE_CROSSCOMPILING)
    file(MAKE_DIRECTORY ${AMP_CROSS_INCLUDE_DIR})
    file(CREATE_LINK /usr/include/${name} ${AMP_CROSS_INCLUDE_DIR}/${name} SYMBOLIC)
    target_include_directories(${target} SYSTEM INTERFACE ${AMP_CROSS_INCLUDE_DIR})
  endif()
endfunction()

amp_header_library(amp_boost_headers boost asio.hpp libboost-dev)
amp_header_library(amp_json_headers nlohmann json.hpp nlohmann-json3-dev)
