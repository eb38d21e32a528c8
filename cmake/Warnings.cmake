# The warnings we build with; VT_WERROR makes them errors (the presets and CI
# turn it on).
option(VT_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
# GCC 12 reports overlapping copies inside std::string's own code at -O3 for
# ordinary concatenations (GCC bug 105329); its -Wrestrict is not usable.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
# Clang checks the lock annotations of platform/ThreadSafety.h.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()
if(VT_WERROR)
  add_compile_options(-Werror)
endif()
