# Ooura's FFT package: the two sources TensorFlow Lite uses, as the static
# targets it links (fft4f2d defines the same symbols and is left out). The
# headers TensorFlow Lite includes live in its own source tree.
cmake_minimum_required(VERSION 3.16)
project(fft2d LANGUAGES C)
add_library(fft2d_fftsg STATIC fftsg.c)
add_library(fft2d_fftsg2d STATIC fftsg2d.c)
target_link_libraries(fft2d_fftsg2d PUBLIC fft2d_fftsg)
install(TARGETS fft2d_fftsg fft2d_fftsg2d EXPORT fft2dTargets ARCHIVE DESTINATION lib)
install(EXPORT fft2dTargets FILE fft2dConfig.cmake DESTINATION lib/cmake/fft2d)
