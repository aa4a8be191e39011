# gemmlowp's headers, copied into this prefix.
get_filename_component(_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET gemmlowp::gemmlowp)
  add_library(gemmlowp::gemmlowp INTERFACE IMPORTED)
  set_target_properties(gemmlowp::gemmlowp PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_prefix}/include/gemmlowp")
endif()
set(gemmlowp_FOUND TRUE)
