# cmake -DPROGRAM=pmctl -DOUTPUT=file -P SubcommandHelp.cmake
# Writes a help2man include file with a COMMANDS section: the --help of every subcommand that the
# program's own --help lists, so the man page tells what each command takes.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
string(REGEX MATCH "Subcommands:\n(  [^\n]*\n)+" listing "${help}")
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "${listing}")
get_filename_component(program_name ${PROGRAM} NAME)
set(text "[COMMANDS]\n")
foreach(name ${names})
  string(STRIP "${name}" name)
  execute_process(COMMAND ${PROGRAM} ${name} --help OUTPUT_VARIABLE sub RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${name} --help failed")
  endif()
  # As preformatted roff: backslashes escaped, no line taken for a request.
  string(REPLACE "\\" "\\e" sub "${sub}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" sub "${sub}")
  string(APPEND text ".SS ${program_name} ${name}\n.nf\n${sub}.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
