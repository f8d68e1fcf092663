# Writes the command's bash completion from its template and the methods'
# names that valmorin_idlc lists; run by the build whenever either changes.
#   cmake -DTEMPLATE=<file.in> -DNAMES=<file> -DOUTPUT=<file> -P completion.cmake
file(STRINGS ${NAMES} names)
list(JOIN names " " VALMORIN_METHODS)
configure_file(${TEMPLATE} ${OUTPUT}.new @ONLY)
file(RENAME ${OUTPUT}.new ${OUTPUT})
