# Each layer's headers are seen through a folder of their own,
# <build>/layers/<layer>/<layer> -> <source>/<layer>, never through the
# source root. A target is given the views of the layers it may use, so an
# include of a layer above it, or beside it, does not compile. The views
# belong to the build tree: an installed package has the public headers
# only.
#
# From the bottom: platform; qmt; service and module (the component);
# beside the component, above the public interface and the platform, the
# server; at the top the command (tools/), which sees the server, qmt and
# the platform through the targets it links.
function(valmorin_layer_includes target scope)
  foreach(layer IN LISTS ARGN)
    set(view ${PROJECT_BINARY_DIR}/layers/${layer})
    get_filename_component(parent ${view}/${layer} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(REMOVE ${view}/${layer})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${view}/${layer} SYMBOLIC)
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${view}>)
  endforeach()
endfunction()

# Inside a layer, folders are ordered too. A folder's view holds links to
# its own headers only, not to the folders nested in it, so the ADO kit
# does not see its providers, nor one provider another:
#   <build>/layers/<folder, / as .>/<folder>/<header> -> <source>/<folder>/<header>
# valmorin_folder(<layer>/<folder> USES <folder>...) makes the folder's
# object library, valmorin_<layer>_<folder, / as _>, from SOURCES, and lets
# it see its own headers, those of the folders it USES and, through them,
# of every folder below those. Folders must be declared bottom first: a
# folder can only use what is already declared, so a loop cannot be said.
function(valmorin_folder folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;USES")
  set(seen ${folder})
  foreach(used IN LISTS arg_USES)
    get_property(below GLOBAL PROPERTY valmorin_folder_sees_${used})
    if(NOT below)
      message(FATAL_ERROR "${folder} uses ${used}, which is not declared below it")
    endif()
    list(APPEND seen ${below})
  endforeach()
  list(REMOVE_DUPLICATES seen)
  set_property(GLOBAL PROPERTY valmorin_folder_sees_${folder} ${seen})

  string(REPLACE "/" "." name ${folder})
  set(view ${PROJECT_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/${folder} ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  foreach(header IN LISTS headers)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${view}/${folder}/${header} SYMBOLIC)
  endforeach()
  set_property(GLOBAL PROPERTY valmorin_folder_view_${folder} ${view})

  string(REPLACE "/" "_" target valmorin_${folder})
  add_library(${target} OBJECT ${arg_SOURCES})
  foreach(visible IN LISTS seen)
    get_property(visible_view GLOBAL PROPERTY valmorin_folder_view_${visible})
    target_include_directories(${target} PRIVATE ${visible_view})
    set_property(GLOBAL APPEND PROPERTY valmorin_folder_views_${folder} ${visible_view})
  endforeach()
endfunction()

# The include path a folder's object library is given.
function(valmorin_folder_views folder out)
  get_property(views GLOBAL PROPERTY valmorin_folder_views_${folder})
  set(${out} ${views} PARENT_SCOPE)
endfunction()

# Shows, when the build is configured, that the views refuse what they
# must: the compiler, given the include path VIEWS, finds each header of
# VISIBLE and none of HIDDEN. Should a view ever leak, configuring fails
# here rather than a loop growing unnoticed.
function(valmorin_check_includes what)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "VIEWS;VISIBLE;HIDDEN")
  set(probe "")
  foreach(header IN LISTS arg_VISIBLE)
    string(APPEND probe "#if !__has_include(\"${header}\")\n#error ${what} does not see ${header}\n#endif\n")
  endforeach()
  foreach(header IN LISTS arg_HIDDEN)
    string(APPEND probe "#if __has_include(\"${header}\")\n#error ${what} sees ${header}, above it or beside it\n#endif\n")
  endforeach()
  string(APPEND probe "int main() { return 0; }\n")
  string(MAKE_C_IDENTIFIER ${what} name)
  try_compile(sees_as_it_should SOURCE_FROM_CONTENT ${name}_layer_probe.cpp "${probe}" NO_CACHE
              CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${arg_VIEWS}" OUTPUT_VARIABLE output)
  if(NOT sees_as_it_should)
    message(FATAL_ERROR "The include path of ${what} is not what its place allows:\n${output}")
  endif()
endfunction()
