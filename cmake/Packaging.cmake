# Installation, the CMake package of the plugin SDK, and the Debian package.
#
# Layout under the installation prefix:
#   libexec/dvrcore/dvrcore             the core; it loads plugins from the two
#   libexec/dvrcore/plugins/            directories beside its executable
#   libexec/dvrcore/protected-plugins/
#   libexec/dvrcore/parent-standin      plays the parent service, to try the core by hand
#   libexec/dvrcore/examples/*.so       the recorder's plugins (copy them into plugins/)
#   bin/dvrcore                         symbolic link to the core
#   include/dvrcore/                    plugin_api.h, log_message.h and the helpers of sdk/
#   lib/cmake/dvrcore/                  find_package(dvrcore), armhf-toolchain.cmake
#   share/doc/dvrcore/docs/             the guides
#   share/doc/dvrcore/plugins/          the plugins' sources and the guide's
#                                       examples (the hello plugin project),
#                                       where the guides' relative links
#                                       expect them
#
# `cpack` in a build directory makes dvrcore_<version>_<arch>.deb for the
# architecture of that build (amd64 for the native preset, armhf for armhf).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DVRCORE_INSTALL_COREDIR ${CMAKE_INSTALL_LIBEXECDIR}/dvrcore)
set(DVRCORE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/dvrcore)

install(TARGETS dvrcore parent-standin RUNTIME DESTINATION ${DVRCORE_INSTALL_COREDIR})
install(DIRECTORY DESTINATION ${DVRCORE_INSTALL_COREDIR}/plugins)
install(DIRECTORY DESTINATION ${DVRCORE_INSTALL_COREDIR}/protected-plugins)
install(TARGETS ${DVRCORE_RECORDER_PLUGINS} LIBRARY DESTINATION ${DVRCORE_INSTALL_COREDIR}/examples)
# The core finds its plugins beside its canonical path, so a link is enough.
install(CODE "
  set(bindir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${bindir}\")
  file(CREATE_LINK ../${DVRCORE_INSTALL_COREDIR}/dvrcore \"\${bindir}/dvrcore\" SYMBOLIC)
  message(STATUS \"Installing: \${bindir}/dvrcore -> ../${DVRCORE_INSTALL_COREDIR}/dvrcore\")
")

# The plugin SDK.
install(FILES src/pluginhost/plugin_api.h src/log/log_message.h sdk/event_match.h sdk/core_link.h sdk/entry_guard.h
  sdk/plugin_settings.h sdk/camera_stream.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dvrcore)
configure_package_config_file(cmake/dvrcore-config.cmake.in ${PROJECT_BINARY_DIR}/dvrcore-config.cmake
  INSTALL_DESTINATION ${DVRCORE_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR DVRCORE_INSTALL_COREDIR)
# The version check also refuses a package of another word size: plugins must
# be built for the architecture of the core that loads them.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dvrcore-config-version.cmake
  COMPATIBILITY SameMajorVersion)
# The toolchain file cross-builds a plugin for the device from its own
# directory: -DCMAKE_TOOLCHAIN_FILE=<prefix>/lib/cmake/dvrcore/armhf-toolchain.cmake.
install(FILES ${PROJECT_BINARY_DIR}/dvrcore-config.cmake ${PROJECT_BINARY_DIR}/dvrcore-config-version.cmake
  cmake/DvrcorePlugin.cmake cmake/armhf-toolchain.cmake DESTINATION ${DVRCORE_INSTALL_CMAKEDIR})

# The documentation keeps the repository's layout, so that its relative links
# (docs/ to plugins/) resolve in the installed copy too.
install(FILES docs/writing-plugins.md docs/architecture.md docs/architecture.svg docs/architecture.dot
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY plugins/examples plugins/camera plugins/recorder plugins/catalog plugins/bridge plugins/logsink
  plugins/web plugins/media DESTINATION ${CMAKE_INSTALL_DOCDIR}/plugins)

# The Debian package.
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^arm-linux-gnueabihf")
  set(dvrcore_deb_arch armhf)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^x86_64-linux-gnu")
  set(dvrcore_deb_arch amd64)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^aarch64-linux-gnu")
  set(dvrcore_deb_arch arm64)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE dvrcore_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvrcore)
set(CPACK_PACKAGE_CONTACT "dvrcore maintainers <dvrcore@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Core process of a video-surveillance recording server, with its plugin SDK")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${dvrcore_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
