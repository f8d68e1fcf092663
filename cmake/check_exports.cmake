# Compares the dynamic symbols a shared library defines with the list kept
# beside its sources, so that an export added or lost by accident fails the
# tests. The list holds the names demangled, one a line, sorted.
#   cmake -DLIBRARY=<file> -DLIST=<exports.txt> -P check_exports.cmake
execute_process(COMMAND nm -DC --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm cannot read ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; the name may hold blanks.
  if(line MATCHES "^[0-9a-f]+ [A-Za-z] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES exported)
list(SORT exported)
file(STRINGS ${LIST} listed)
list(SORT listed)
set(added ${exported})
list(REMOVE_ITEM added ${listed})
set(lost ${listed})
list(REMOVE_ITEM lost ${exported})
if(added OR lost)
  list(JOIN added "\n  + " added_text)
  list(JOIN lost "\n  - " lost_text)
  list(LENGTH exported count)
  message(FATAL_ERROR "${LIBRARY} exports ${count} symbols, not those of ${LIST}:\n  + ${added_text}\n  - ${lost_text}\n"
                      "Mark what applications and the component use VALMORIN_PLATFORM_API, nothing else, and update the list.")
endif()
