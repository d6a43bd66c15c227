# `cpack` builds a Debian package of what `cmake --install` installs: the
# helper, the recorder, the guide and its example hosts, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentrell-audio-helper)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Zentrell")
set(CPACK_PACKAGE_CONTACT "Zentrell Audio Helper developers <audio-helper@zentrell.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "records system audio and the microphone for desktop applications")
set(CPACK_PACKAGE_DESCRIPTION
  "A helper process that a desktop application starts and talks to over its standard input and output. It captures what the computer plays and the default microphone through PulseAudio or PipeWire, and streams both as 16 kHz mono PCM. Includes zentrell-record, a command-line recorder.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# Depends comes from the executables themselves (libc6, libstdc++6, libgcc-s1,
# libsoxr0). libpulse is opened at run time, so dpkg-shlibdeps cannot see it:
# without it the helper starts but reports that no sound server is there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpulse0")
if(NOT ZT_STATIC_DISPATCH)
  # The bundled libdispatch belongs to the package, not to a dependency.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${DISPATCH_LIBRARY_DIR}")
endif()
include(CPack)
