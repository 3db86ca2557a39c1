# cmake -DLIBRARY=libportmdl.so -DHEADER=PortMdl.h -DMAP=portmdl.map -P CheckExports.cmake
# Fails unless the library's dynamic symbol table defines exactly the functions and the data the
# header declares: the C functions under their own names, the C++ ones with their argument types,
# each as the default version of a node the version script defines (a symbol the script's list
# misses would be exported unversioned, or not at all).
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

# The version nodes: every "NAME {" of the script ("extern \"C++\" {" has no name before it).
file(READ ${MAP} map)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" map "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_.]*[ \t\n]*{" nodes "${map}")
list(TRANSFORM nodes REPLACE "[ \t\n]*{$" "")
if(NOT nodes)
  message(FATAL_ERROR "${MAP} names no version node")
endif()

execute_process(COMMAND nm -D --defined-only --with-symbol-versions -C ${LIBRARY}
  OUTPUT_VARIABLE table RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm -D failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(exported)
set(unversioned)
set(missingNodes ${nodes})
foreach(line ${lines})
  # "0000000000012340 T name(args)@@NODE"; the nodes themselves are absolute symbols (type A).
  if(line MATCHES "^[0-9a-f]* A ([^@]+)$")
    list(REMOVE_ITEM missingNodes "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[0-9a-f]* [^A] (.+)@@([^@]+)$" AND CMAKE_MATCH_2 IN_LIST nodes)
    list(APPEND exported "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[0-9a-f]* [^A] (.+)$")
    list(APPEND unversioned "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)
if(unversioned)
  list(JOIN unversioned "\n  " text)
  message(FATAL_ERROR "${LIBRARY} exports symbols without a version node of ${MAP}:\n  ${text}")
endif()
if(missingNodes)
  message(FATAL_ERROR "${LIBRARY} lacks the version nodes ${missingNodes} of ${MAP}")
endif()

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
