# Included into TensorFlow Lite's own CMake project (CMAKE_PROJECT_INCLUDE) by
# scripts/provision-tflite.sh and scripts/provision-tflite-windows.sh, to
# compile the library in less time, with the same compiler flags.
#
# Most of the library's files spend most of their compile time parsing the
# same headers: kernels/ceil.cc takes 5.8 s, of which 4.8 s is parsing the
# optimized and reference ops, Eigen, gemmlowp and ruy. So the files are
# compiled eight to a file (a unity build), over one precompiled header of
# the kernels' headers. A few files are compiled on their own, as before:
# eigen_support.cc, which asks for Eigen's thread pool before it includes
# Eigen (which the precompiled header has included without it); the hash
# table kernels, which share constants of one name; model_builder.cc and
# neon_tensor_utils.cc, whose file-local helpers clash with those of others;
# portable_tensor_utils.cc, which is wrapped in the include guard of a header
# (tensor_utils.h) that others include before it, and would come to nothing.
#
# A static library also leaves out the files no program of this project
# links (a shared one compiles them on their own) (the linker's map of classify, classify-photos, the tests and the
# benchmarks shows which): custom operators that the builtin op resolver
# does not register, the reference op resolver, the C API's experimental
# and opaque parts, delegates, NNAPI, the model verifier and debug dumps.
set(classify_precompiled_header "${CMAKE_CURRENT_LIST_DIR}/precompiled.h")
set(classify_unlinked_sources
  c/c_api_for_testing.cc c/c_api_opaque_internal.cc
  core/acceleration/configuration/delegate_registry.cc
  core/acceleration/configuration/nnapi_plugin.cc
  core/acceleration/configuration/stable_delegate_registry.cc
  core/async/c/async_kernel.cc core/async/c/task.cc core/c/c_api_experimental.cc
  core/c/c_api_opaque.cc core/c/registration_external.cc core/tools/verifier.cc
  core/tools/verifier_internal.cc delegates/external/external_delegate.cc
  delegates/serialization.cc delegates/utils.cc kernels/atan2_custom.cc
  kernels/cpu_backend_gemm_eigen.cc kernels/deprecated_backends.cc kernels/eigen_support.cc
  kernels/gru_cell.cc kernels/internal/opaque_tensor_ctypes.cc kernels/irfft2d.cc
  kernels/multinomial.cc kernels/pooling3d.cc kernels/random_standard_normal_custom.cc
  kernels/random_uniform_custom.cc kernels/register_ref.cc kernels/roll.cc
  kernels/sign_custom.cc kernels/table.cc kernels/unidirectional_sequence_gru.cc logger.cc
  nnapi/nnapi_implementation_disabled.cc optional_debug_tools.cc
  simple_memory_arena_debug_dump.cc simple_planner.cc tensorflow_profiler_logger_shim.cc)
set(classify_unity_exceptions
  "/kernels/(eigen_support|hashtable[a-z_]*)\\.cc$|/core/model_builder\\.cc$|/(neon|portable)_tensor_utils\\.cc$")

function(classify_speed_up_build)
  get_target_property(sources tensorflow-lite SOURCES)
  set(kept)
  set(apart)
  foreach(source IN LISTS sources)
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    file(RELATIVE_PATH relative "${CMAKE_SOURCE_DIR}" "${path}")
    if(relative IN_LIST classify_unlinked_sources)
      # A shared library keeps them, compiled on their own as before: some
      # of them clash with each other in a unity build.
      if(NOT BUILD_SHARED_LIBS)
        continue()
      endif()
      list(APPEND apart "${source}")
    elseif(path MATCHES "${classify_unity_exceptions}")
      list(APPEND apart "${source}")
    endif()
    list(APPEND kept "${source}")
  endforeach()
  set_target_properties(tensorflow-lite PROPERTIES SOURCES "${kept}" UNITY_BUILD ON
    UNITY_BUILD_BATCH_SIZE 8)
  set_source_files_properties(${apart} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON
    SKIP_PRECOMPILE_HEADERS ON)
  target_precompile_headers(tensorflow-lite PRIVATE
    "$<$<COMPILE_LANGUAGE:CXX>:${classify_precompiled_header}>")
  list(LENGTH sources all_count)
  list(LENGTH kept kept_count)
  message(STATUS "classify: ${kept_count} of ${all_count} files, eight to a file over a precompiled header")
endfunction()
# At the end of the library's CMakeLists.txt, where the target is defined.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL classify_speed_up_build)
