# farmhash ships only autotools: this builds its one source as a static
# library and exports the target TensorFlow Lite links, "farmhash".
cmake_minimum_required(VERSION 3.16)
project(farmhash LANGUAGES CXX)
add_library(farmhash STATIC src/farmhash.cc)
target_include_directories(farmhash PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>
  $<INSTALL_INTERFACE:include>)
install(TARGETS farmhash EXPORT farmhashTargets ARCHIVE DESTINATION lib)
install(FILES src/farmhash.h DESTINATION include)
install(EXPORT farmhashTargets FILE farmhashConfig.cmake DESTINATION lib/cmake/farmhash)
