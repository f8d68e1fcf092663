# What `cmake --install` puts in place: the two libraries, the command, the
# public header with the COM subset it builds on, the store schemas, a
# package configuration for CMake and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(valmorin_platform PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
# Installed, each finds the others through its own location.
set_target_properties(valmorin valmorin_platform PROPERTIES INSTALL_RPATH "$ORIGIN")
file(RELATIVE_PATH _valmorin_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(valmorin_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${_valmorin_bin_to_lib}")

install(TARGETS valmorin valmorin_platform LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS valmorin_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/valmorin/valmorin.h ${VALMORIN_INTERFACE_HEADER} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/valmorin)
install(DIRECTORY platform/com/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/valmorin/platform/com
        FILES_MATCHING PATTERN "*.h")
install(DIRECTORY schema/ DESTINATION ${CMAKE_INSTALL_DATADIR}/valmorin FILES_MATCHING PATTERN "*.sql")

set(_valmorin_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Valmorin)
file(RELATIVE_PATH VALMORIN_CONFIG_TO_PREFIX /${_valmorin_config_dir} /)
set(VALMORIN_COMPONENT_FILE libvalmorin.so.${PROJECT_VERSION})
set(VALMORIN_COMPONENT_SONAME libvalmorin.so.${PROJECT_VERSION_MAJOR})
set(VALMORIN_PLATFORM_FILE libvalmorin_platform.so.${PROJECT_VERSION})
set(VALMORIN_PLATFORM_SONAME libvalmorin_platform.so.${PROJECT_VERSION_MAJOR})
configure_file(cmake/ValmorinConfig.cmake.in ${PROJECT_BINARY_DIR}/package/ValmorinConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ValmorinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ValmorinConfig.cmake ${PROJECT_BINARY_DIR}/package/ValmorinConfigVersion.cmake
        DESTINATION ${_valmorin_config_dir})

# The pkg-config file finds the prefix from where it lies, as the package
# configuration does.
file(RELATIVE_PATH VALMORIN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/valmorin.pc.in ${PROJECT_BINARY_DIR}/package/valmorin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/valmorin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
