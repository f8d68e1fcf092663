# The component's version resource, made from project(VERSION) and linked
# into libvalmorin.so as an ELF note that qmt::CPEFile reads back.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version_resource.cpp.in
               ${CMAKE_CURRENT_BINARY_DIR}/generated/version_resource.cpp @ONLY)
target_sources(valmorin_component PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated/version_resource.cpp)
