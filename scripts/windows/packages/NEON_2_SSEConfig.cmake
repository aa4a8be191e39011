# NEON_2_SSE.h, copied into this prefix.
get_filename_component(_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET NEON_2_SSE::NEON_2_SSE)
  add_library(NEON_2_SSE::NEON_2_SSE INTERFACE IMPORTED)
  set_target_properties(NEON_2_SSE::NEON_2_SSE PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_prefix}/include")
endif()
set(NEON_2_SSE_FOUND TRUE)
