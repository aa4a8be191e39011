# Eigen's headers, copied into this prefix (Debian's own package file points
# at /usr/include, whose glibc headers must not reach MinGW).
get_filename_component(_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET Eigen3::Eigen)
  add_library(Eigen3::Eigen INTERFACE IMPORTED)
  set_target_properties(Eigen3::Eigen PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_prefix}/include/eigen3")
endif()
set(Eigen3_FOUND TRUE)
