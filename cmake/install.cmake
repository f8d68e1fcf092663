# What `cmake --install` puts in place: the two libraries, the command, the
# public headers (<valmorin/valmorin.h>, the COM subset it builds on under
# valmorin/com/ and the interface compiled from the IDL), the store
# schemas, the CMake package (Valmorin::Valmorin, Valmorin::Platform) and
# a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(valmorin_platform PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(valmorin_platform PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# Installed, each finds the others through its own location.
set_target_properties(valmorin valmorin_platform PROPERTIES INSTALL_RPATH "$ORIGIN")
file(RELATIVE_PATH _valmorin_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(valmorin_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${_valmorin_bin_to_lib}")

install(TARGETS valmorin valmorin_platform EXPORT ValmorinTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(TARGETS valmorin_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/valmorin/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/valmorin FILES_MATCHING PATTERN "*.h")
install(FILES ${VALMORIN_INTERFACE_HEADER} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/valmorin)
install(DIRECTORY schema/ DESTINATION ${CMAKE_INSTALL_DATADIR}/valmorin FILES_MATCHING PATTERN "*.sql")

set(_valmorin_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Valmorin)
install(EXPORT ValmorinTargets NAMESPACE Valmorin:: DESTINATION ${_valmorin_config_dir})
configure_package_config_file(cmake/ValmorinConfig.cmake.in ${PROJECT_BINARY_DIR}/package/ValmorinConfig.cmake
                              INSTALL_DESTINATION ${_valmorin_config_dir} PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ValmorinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ValmorinConfig.cmake ${PROJECT_BINARY_DIR}/package/ValmorinConfigVersion.cmake
        DESTINATION ${_valmorin_config_dir})

# The pkg-config file finds the prefix from where it lies, as the package
# configuration does.
file(RELATIVE_PATH VALMORIN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/valmorin.pc.in ${PROJECT_BINARY_DIR}/package/valmorin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/valmorin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
