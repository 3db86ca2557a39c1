# cmake -DLIBRARY=libportmdl.so -DHEADER=PortMdl.h -P CheckExports.cmake
# Fails unless the library's dynamic symbol table defines exactly the functions and the data the
# header declares: the C functions under their own names, the C++ ones with their argument types.
file(READ ${HEADER} header)
# Comments could name functions; only declarations count.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header "${header}")
string(REGEX REPLACE "//[^\n]*" "" header "${header}")
# The C++ declarations follow the last "#ifdef __cplusplus", the one that closes extern "C".
string(FIND "${header}" "#ifdef __cplusplus" cxxStart REVERSE)
string(SUBSTRING "${header}" 0 ${cxxStart} cPart)
string(SUBSTRING "${header}" ${cxxStart} -1 cxxPart)

set(expected PortMdlEnv)
string(REGEX MATCHALL "[A-Za-z_0-9]+\\(" calls "${cPart}")
foreach(call ${calls})
  string(REGEX REPLACE "\\($" "" name "${call}")
  if(name MATCHES "^(PM_|MACTickCount$)")
    list(APPEND expected ${name})
  endif()
endforeach()
string(REGEX MATCHALL "[A-Za-z_0-9]+\\([^)]*\\);" decls "${cxxPart}")
foreach(decl ${decls})
  string(REGEX MATCH "^([A-Za-z_0-9]+)\\(([^)]*)\\)" _ "${decl}")
  set(name ${CMAKE_MATCH_1})
  string(REPLACE "," ";" params "${CMAKE_MATCH_2}")
  set(types)
  foreach(param ${params})
    string(STRIP "${param}" param)
    string(REGEX REPLACE "[ ]*[A-Za-z_0-9]+$" "" type "${param}") # drop the parameter's name
    list(APPEND types "${type}")
  endforeach()
  list(JOIN types ", " typeText)
  list(APPEND expected "${name}(${typeText})")
endforeach()
list(REMOVE_DUPLICATES expected)
list(SORT expected)

execute_process(COMMAND nm -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE table RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm -D failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(exported)
foreach(line ${lines})
  # "0000000000012340 T name(args)"; absolute version symbols (type A) are not interface.
  if(line MATCHES "^[0-9a-f]* [^A] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)

set(extra ${exported})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
list(LENGTH expected count)
if(extra OR missing)
  list(JOIN extra "\n  " extraText)
  list(JOIN missing "\n  " missingText)
  message(FATAL_ERROR "${LIBRARY} exports do not match the header (${count} expected)\n"
                      "exported but not in the header:\n  ${extraText}\n"
                      "in the header but not exported:\n  ${missingText}")
endif()
message(STATUS "${count} exports, as declared in the header")
