# The Debian package, valmorin_<version>_<arch>.deb, made by cpack from what
# `cmake --install` puts in place (configure with the "package" preset:
# installed under /usr, without a run path) plus the manual page, the shell
# completion (tools/CMakeLists.txt) and the package's documents. Installing it registers the
# component for the machine; removing it unregisters it.
include(GNUInstallDirs)

set(_valmorin_docdir ${CMAKE_INSTALL_DATADIR}/doc/valmorin)
install(FILES packaging/copyright DESTINATION ${_valmorin_docdir})
set(_valmorin_changelog ${PROJECT_BINARY_DIR}/package/changelog.gz)
add_custom_command(OUTPUT ${_valmorin_changelog}
  COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${_valmorin_changelog}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(valmorin_changelog ALL DEPENDS ${_valmorin_changelog})
install(FILES ${_valmorin_changelog} DESTINATION ${_valmorin_docdir})

# valmorin serve as a service of the machine, with an account of its own,
# which postinst makes (systemd-sysusers); nothing starts or enables it.
set(VALMORIN_FULL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(packaging/systemd/valmorin-serve.service.in ${PROJECT_BINARY_DIR}/package/valmorin-serve.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/valmorin-serve.service DESTINATION lib/systemd/system)
install(FILES packaging/systemd/valmorin.sysusers DESTINATION lib/sysusers.d RENAME valmorin.conf)

# The maintainer scripts name the installed files.
set(VALMORIN_REGISTERED_LIBRARY ${CMAKE_INSTALL_FULL_LIBDIR}/libvalmorin.so.${PROJECT_VERSION_MAJOR})
foreach(script IN ITEMS postinst prerm)
  configure_file(packaging/deb/${script}.in ${PROJECT_BINARY_DIR}/package/deb/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME valmorin)
set(CPACK_PACKAGE_VENDOR Pelkor)
set(CPACK_PACKAGE_CONTACT "Valmorin maintainers <valmorin@pelkor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "translation-table component, its command and development files")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "Valmorin keeps named translation tables (INPUT -> OUTPUT correspondences)\n"
       "in a relational store (SQLite, PostgreSQL, or a database reached through\n"
       "ODBC) and answers lookups against them. This package holds the in-process\n"
       "component libvalmorin.so with the COM runtime it is created through, the\n"
       "valmorin command, the Python module valmorin, the public headers, the\n"
       "CMake and pkg-config files, and the store schemas.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(VALMORIN_PYTHON_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${VALMORIN_PYTHON_DEPENDS}")
endif()
# The Python module is a shared object without a SONAME, as Python's
# modules are; CPack notes each such file it leaves out of the shlibs.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_quiet.cmake)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/package/deb/postinst ${PROJECT_BINARY_DIR}/package/deb/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm ${PROJECT_SOURCE_DIR}/packaging/deb/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
include(CPack)
