# Installation (make install) and the Debian package (make package).
include(GNUInstallDirs)

# Manual pages, written in scdoc and generated into the build folder,
# compressed as Debian wants them. A terminal that cannot show the Chinese
# labels of classify's result line (the POSIX locale, as a minimal system
# starts) shows them in pinyin: a fallback glyph for each character
# (man/pinyin.sed).
find_program(SCDOC scdoc REQUIRED)
set(man_fallback_file ${PROJECT_SOURCE_DIR}/man/pinyin.sed)
set(man_pages classify.1 prepare-input.1 classify-photos.1)
set(man_outputs)
foreach(page IN LISTS man_pages)
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.scd)
  set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${SCDOC} < ${source} > ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND sed -i -f ${man_fallback_file} ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${page}
    DEPENDS ${source} ${man_fallback_file}
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

# Three packages: the programs (classify), the photograph formats beyond JPEG
# and PNG (classify-formats: the libvips module, which brings libvips and
# about a hundred libraries, recommended), and the model and class names the
# programs use by default (classify-data, architecture-independent and most
# of the size).
install(TARGETS classify prepare-input classify-photos RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT programs)
# The programs that link TensorFlow Lite, built for any x86-64 CPU, where the
# ones above are built for a higher level: they become these at their entry
# on a CPU that lacks it (src/cpu_entry.cpp). CLASSIFY_PORTABLE_BUILD names
# the build folder of that second build (scripts/package.sh makes it).
set(CLASSIFY_PORTABLE_BUILD "" CACHE PATH "the build of classify and classify-photos for any x86-64 CPU")
if(CLASSIFY_PORTABLE_BUILD)
  set(portable_dir ${CMAKE_INSTALL_LIBEXECDIR}/classify/x86-64)
  install(PROGRAMS ${CLASSIFY_PORTABLE_BUILD}/classify ${CLASSIFY_PORTABLE_BUILD}/classify-photos
    DESTINATION ${portable_dir} COMPONENT programs)
  # Stripped as the package strips the targets it installs.
  install(CODE "foreach(program classify classify-photos)
      execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${portable_dir}/\${program}\")
    endforeach()" COMPONENT programs)
elseif(CLASSIFY_CPU_LEVEL GREATER 0)
  message(STATUS "make install and the package hold no build for any x86-64 CPU: on a CPU "
    "without x86-64-v${CLASSIFY_CPU_LEVEL}, classify and classify-photos say so and end")
endif()
# prepare-input and classify-photos find the libvips module at this place
# relative to themselves.
install(TARGETS prepare-input-vips LIBRARY DESTINATION ${CLASSIFY_MODULE_DIR}
  COMPONENT formats)
# classify-photos' exiv2 module (--xmp), found the same way.
install(TARGETS classify-photos-xmp LIBRARY DESTINATION ${CLASSIFY_MODULE_DIR}
  COMPONENT programs)
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
install(FILES README.md ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/classify-formats COMPONENT formats)
# classify-photos finds them at share/classify beside its bin/ folder.
install(FILES ${shipped_model_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/classify COMPONENT data)
install(FILES models/README.md ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/classify-data
  COMPONENT data)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright-data
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/classify-data RENAME copyright COMPONENT data)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs formats data)
set(CPACK_PACKAGE_NAME classify)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME classify)
set(CPACK_DEBIAN_FORMATS_PACKAGE_NAME classify-formats)
set(CPACK_DEBIAN_DATA_PACKAGE_NAME classify-data)
set(CPACK_DEBIAN_DATA_PACKAGE_ARCHITECTURE all)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "classify developers <classify@users.noreply.example>")
# Depends: computed by dpkg-shlibdeps from the binaries' shared libraries,
# and the model classify-photos takes by default. The formats beyond JPEG and
# PNG are recommended; GNU parallel and ssh are suggested, for
# classify-photos --sshlogin alone.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "classify-data (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "classify-formats (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS "parallel, openssh-client")
set(CPACK_DEBIAN_FORMATS_PACKAGE_DEPENDS "classify (= ${PROJECT_VERSION})")
# Each package's description: its summary line, then the extended text.
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
  "image classifier running a MobileNetV3 TensorFlow Lite model
classify runs a pretrained MobileNetV3-Small model once on a prepared image
through the TensorFlow Lite C library (linked in) and prints the best of the
1001 ImageNet classes and its probability behind two Chinese labels written
as GBK bytes.
.
prepare-input turns a photograph (JPEG and PNG; WebP, HEIF, AVIF, GIF, TIFF,
BMP and PNM with classify-formats) into the input classify reads: turned
upright by its EXIF orientation, converted to sRGB, centre-cropped and
resized.
.
classify-photos classifies a folder of photographs in one process on every
core with any TensorFlow Lite image classifier, or over several machines.
.
The programs run on any x86-64 CPU, at full speed on those with AVX2 and FMA.
The pretrained model classify-photos takes by default is in classify-data.")
set(CPACK_DEBIAN_FORMATS_DESCRIPTION
  "photograph formats beyond JPEG and PNG for classify's tools
The libvips module with which prepare-input and classify-photos read WebP,
HEIF and AVIF, GIF (the first frame), TIFF (the first page), BMP and PNM
photographs. It brings libvips and the libraries it reads them with; JPEG
and PNG need none of it.")
set(CPACK_DEBIAN_DATA_DESCRIPTION
  "pretrained MobileNetV3-Small model and ImageNet labels for classify
A float MobileNetV3-Small (width 1.0, 224x224, 1001 classes) in TensorFlow
Lite form and the 1001 ImageNet class names, which classify-photos takes
when no other model is given. classify reads its model from the working
folder; link this one there as v3-small_224_0.75_float.tflite.")
include(CPack)
