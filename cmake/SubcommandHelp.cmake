# cmake -DPROGRAM=pmctl -DOUTPUT=file -P SubcommandHelp.cmake
# Writes a help2man include file with a COMMANDS section: the --help of every subcommand that the
# program's own --help lists, and of theirs in turn ("pmctl bt talk"), so the man page tells what
# each command takes.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
get_filename_component(program_name ${PROGRAM} NAME)
set(text "[COMMANDS]\n")

# The subcommands that a --help text lists.
function(list_subcommands help out)
  string(REGEX MATCH "Subcommands:\n(  [^\n]*\n)+" listing "${help}")
  string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "${listing}")
  list(TRANSFORM names STRIP)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Appends the --help of the command WORDS (a list), then that of each of its own subcommands (as
# "pmctl bt list").
function(add_command words)
  execute_process(COMMAND ${PROGRAM} ${words} --help OUTPUT_VARIABLE sub RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${words} --help failed")
  endif()
  list_subcommands("${sub}" children)
  # As preformatted roff: backslashes escaped, no line taken for a request.
  string(REPLACE "\\" "\\e" sub "${sub}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" sub "${sub}")
  list(JOIN words " " title)
  string(APPEND text ".SS ${program_name} ${title}\n.nf\n${sub}.fi\n")
  foreach(child ${children})
    add_command("${words};${child}")
  endforeach()
  set(text "${text}" PARENT_SCOPE)
endfunction()

list_subcommands("${help}" names)
foreach(name ${names})
  add_command(${name})
endforeach()
file(WRITE ${OUTPUT} "${text}")
