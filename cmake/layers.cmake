# Each layer's headers are seen through a folder of their own,
# <build>/layers/<layer>/<layer> -> <source>/<layer>, never through the
# source root. A target is given the views of the layers it may use, so an
# include of a layer above it, or beside it, does not compile. The views
# belong to the build tree: an installed package has the public headers
# only.
function(valmorin_layer_includes target scope)
  foreach(layer IN LISTS ARGN)
    set(view ${PROJECT_BINARY_DIR}/layers/${layer})
    file(MAKE_DIRECTORY ${view})
    file(REMOVE ${view}/${layer})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${view}/${layer} SYMBOLIC)
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${view}>)
  endforeach()
endfunction()
