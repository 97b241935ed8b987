# Install rules and a package config, so another program can use the allocator
# with find_package(KRAX) and link KRAX::krax_heap.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS krax_malloc_core krax_heap krax_platform EXPORT KraxTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/krax)
install(DIRECTORY heap malloc platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/krax
        FILES_MATCHING PATTERN "*.h" PATTERN "win32" EXCLUDE PATTERN "posix" EXCLUDE)
install(EXPORT KraxTargets NAMESPACE KRAX:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KRAX)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KRAXConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KRAXConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KRAX)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KRAXConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KRAXConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/KRAXConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KRAX)
if(TARGET krax_malloc)
  # A versioned soname, so a package can declare what a program linked to it needs.
  set_target_properties(krax_malloc PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS krax_malloc LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET krax)
  install(TARGETS krax RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    configure_file(${PROJECT_SOURCE_DIR}/doc/krax.1.in ${CMAKE_CURRENT_BINARY_DIR}/krax.1 @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/krax.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()
