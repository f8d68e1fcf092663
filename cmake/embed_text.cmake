# Writes the text of INPUT into the header OUTPUT as `inline constexpr char
# NAME[]`; run by the build whenever INPUT changes.
#   cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<identifier> -P embed_text.cmake
file(READ ${INPUT} text)
if(text MATCHES "\\)EMBEDDED\"")
  message(FATAL_ERROR "${INPUT} holds the raw-string delimiter )EMBEDDED\" and cannot be embedded")
endif()
get_filename_component(source ${INPUT} NAME)
file(WRITE ${OUTPUT}.new "// Generated from ${source} by the build; edit ${source} instead.\n#pragma once\n\n"
                         "inline constexpr char ${NAME}[] = R\"EMBEDDED(${text})EMBEDDED\";\n")
file(RENAME ${OUTPUT}.new ${OUTPUT})
