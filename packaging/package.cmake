# Installation (make install) and the Debian package (make package).
include(GNUInstallDirs)

# Manual pages, written in scdoc and generated into the build folder,
# compressed as Debian wants them.
find_program(SCDOC scdoc REQUIRED)
set(man_pages classify.1 prepare-input.1 classify-photos.1)
set(man_outputs)
foreach(page IN LISTS man_pages)
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.scd)
  set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${SCDOC} < ${source} > ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${page}
    DEPENDS ${source}
    COMMENT "Manual page ${page}")
  list(APPEND man_outputs ${output})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${man_outputs})

# The changelog, compressed the same way.
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${changelog})

install(TARGETS classify prepare-input classify-photos RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# prepare-input and classify-photos find the libvips module at this place
# relative to themselves.
install(TARGETS prepare-input-vips LIBRARY DESTINATION ${CLASSIFY_VIPS_MODULE_DIR})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME classify)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "classify developers <classify@users.noreply.example>")
# Depends: computed by dpkg-shlibdeps from the binaries' shared libraries.
# GNU parallel, rsync and ssh only for classify-photos --sshlogin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "parallel, rsync, openssh-client")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "image classifier running a MobileNetV3 TensorFlow Lite model")
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "classify runs a pretrained MobileNetV3-Small model once on a prepared image
through the TensorFlow Lite C library (linked in) and prints the best of the
1001 ImageNet classes and its probability behind two Chinese labels written
as GBK bytes.
.
prepare-input turns a photograph (JPEG, PNG, WebP, HEIF, AVIF, GIF, TIFF,
BMP, PNM) into the input classify reads: turned upright by its EXIF
orientation, converted to sRGB, centre-cropped and resized.
.
classify-photos classifies a folder of photographs in one process on every
core, with the model loaded once, or over several machines through GNU
parallel.
.
The model itself is not included.")
include(CPack)
