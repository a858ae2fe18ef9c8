# Install rules of libtalvek: included by the top-level CMakeLists.txt after the
# library target and the model archives are defined.
#
#   <prefix>/lib/libtalvek.so.<version>, .so.<major>, .so   the library
#   <prefix>/include/talvek.h                               its one public header
#   <prefix>/lib/pkgconfig/talvek.pc                        pkg-config (variable modeldir)
#   <prefix>/lib/cmake/Talvek/                              find_package(Talvek) -> Talvek::talvek
#   <prefix>/share/talvek/models/<model>.bin                the bundled model archives
#
# Everything goes below the prefix given at install time (cmake --install
# --prefix DIR), so uninstalling is removing what install_manifest.txt lists.

include(CMakePackageConfigHelpers)

set(TALVEK_INSTALL_MODELDIR ${CMAKE_INSTALL_DATADIR}/talvek/models)
set(TALVEK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Talvek)

install(TARGETS talvek EXPORT TalvekTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(FILES ${MODEL_ARCHIVES} DESTINATION ${TALVEK_INSTALL_MODELDIR} COMPONENT Runtime)

# The CMake package. Its paths are relative to where it is installed, so the
# same files work for any prefix.
install(EXPORT TalvekTargets NAMESPACE Talvek:: DESTINATION ${TALVEK_INSTALL_CMAKEDIR}
  COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TalvekConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TalvekConfig.cmake
  INSTALL_DESTINATION ${TALVEK_INSTALL_CMAKEDIR}
  PATH_VARS TALVEK_INSTALL_MODELDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TalvekConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TalvekConfig.cmake ${CMAKE_BINARY_DIR}/TalvekConfigVersion.cmake
  DESTINATION ${TALVEK_INSTALL_CMAKEDIR} COMPONENT Development)

# talvek.pc names absolute paths, and the prefix is only known once
# `cmake --install --prefix` runs, so the file is written then.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
  set(includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(modeldir \"${TALVEK_INSTALL_MODELDIR}\")
  set(version \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/talvek.pc.in\" \"${CMAKE_BINARY_DIR}/talvek.pc\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/talvek.pc\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT Development)
