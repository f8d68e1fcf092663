# The interface is described once, in idl/valmorin.idl. valmorin_idlc turns
# that description into what the build includes, under generated/ in the
# build tree:
#   valmorin/valmorin_interface.h   the declaration and GUIDs (installed,
#                                   included by valmorin/valmorin.h)
#   idl/ivalmorin_calls.inc         the calls behind IDispatch::Invoke
#   idl/ivalmorin_description.h     the methods as data, for the type
#                                   information and the tests
#   idl/method_names.txt            the methods' names, for the command's
#                                   shell completion
#   python/valmorin.pyi             the Python module's type stubs
# Whoever links valmorin_idl sees these files, and is built after them.
add_subdirectory(${PROJECT_SOURCE_DIR}/tools/idlc ${PROJECT_BINARY_DIR}/tools/idlc)

set(VALMORIN_IDL ${PROJECT_SOURCE_DIR}/idl/valmorin.idl)
set(VALMORIN_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set(VALMORIN_INTERFACE_HEADER ${VALMORIN_GENERATED_DIR}/valmorin/valmorin_interface.h)
set(_valmorin_idl_calls ${VALMORIN_GENERATED_DIR}/idl/ivalmorin_calls.inc)
set(_valmorin_idl_description ${VALMORIN_GENERATED_DIR}/idl/ivalmorin_description.h)
set(VALMORIN_METHOD_NAMES ${VALMORIN_GENERATED_DIR}/idl/method_names.txt)
set(VALMORIN_PYTHON_STUB ${VALMORIN_GENERATED_DIR}/python/valmorin.pyi)

add_custom_command(
  OUTPUT ${VALMORIN_INTERFACE_HEADER} ${_valmorin_idl_calls} ${_valmorin_idl_description} ${VALMORIN_METHOD_NAMES}
         ${VALMORIN_PYTHON_STUB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VALMORIN_GENERATED_DIR}/valmorin ${VALMORIN_GENERATED_DIR}/idl
          ${VALMORIN_GENERATED_DIR}/python
  COMMAND valmorin_idlc ${VALMORIN_IDL} --header ${VALMORIN_INTERFACE_HEADER}
          --calls ${_valmorin_idl_calls} --description ${_valmorin_idl_description}
          --method-names ${VALMORIN_METHOD_NAMES} --python-stub ${VALMORIN_PYTHON_STUB}
  DEPENDS valmorin_idlc ${VALMORIN_IDL}
  COMMENT "Compiling the interface description idl/valmorin.idl"
  VERBATIM)
add_custom_target(valmorin_idl_sources
  DEPENDS ${VALMORIN_INTERFACE_HEADER} ${_valmorin_idl_calls} ${_valmorin_idl_description} ${VALMORIN_METHOD_NAMES}
          ${VALMORIN_PYTHON_STUB})

add_library(valmorin_idl INTERFACE)
target_include_directories(valmorin_idl INTERFACE $<BUILD_INTERFACE:${VALMORIN_GENERATED_DIR}>)
valmorin_layer_includes(valmorin_idl INTERFACE idl)
add_dependencies(valmorin_idl valmorin_idl_sources)
