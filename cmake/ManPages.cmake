# Man pages for pmctl, the modem driver daemon and the simulators, made by help2man from their --help, so they say what the
# programs say. The version is given, not asked: pmctl --version also prints the path of the
# library it loaded, which has no place in an installed page.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(STATUS "help2man not found: no man pages (apt-get install help2man)")
  return()
endif()

set(PM_MAN_PAGES)
set(PM_MAN_NAME_pmctl "talk to a phone through the port module, list devices, read logs")
set(PM_MAN_NAME_pmsim-cable "play a phone's data cable on a pseudo-terminal")
set(PM_MAN_NAME_portmdl-modemd "serve a phone's modem tty to portmdl's cable type 5")
foreach(program pmctl portmdl-modemd ${PM_SIM_PROGRAMS})
  set(name "${PM_MAN_NAME_${program}}")
  if(NOT name)
    set(name "a simulated phone for portmdl")
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  set(include ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.commands)
  # What --help does not say (ENVIRONMENT, FILES, EXIT STATUS, EXAMPLES laid out line by line).
  set(sections ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.h2m)
  # Programs with subcommands (pmctl) get each command's --help in a COMMANDS section. The pages
  # are installed compressed, as Debian wants them (gzip -n: no name or time in the file).
  add_custom_command(OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DOUTPUT=${include}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/SubcommandHelp.cmake
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1 --name ${name}
            --version-string ${PROJECT_VERSION}
            --include ${sections} --include ${include} --output ${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf -k ${page}
    DEPENDS ${program} ${sections} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/SubcommandHelp.cmake
    COMMENT "Man page of ${program}" VERBATIM)
  list(APPEND PM_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(man ALL DEPENDS ${PM_MAN_PAGES})
install(FILES ${PM_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
