# Man pages for pmctl and the simulators, made by help2man from their --help and --version, so
# they say what the programs say.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(STATUS "help2man not found: no man pages (apt-get install help2man)")
  return()
endif()

set(PM_MAN_PAGES)
set(PM_MAN_NAME_pmctl "talk to a phone through the port module, list devices, read logs")
set(PM_MAN_NAME_pmsim-cable "play a phone's data cable on a pseudo-terminal")
foreach(program pmctl ${PM_SIM_PROGRAMS})
  set(name "${PM_MAN_NAME_${program}}")
  if(NOT name)
    set(name "a simulated phone for portmdl")
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1 --name ${name}
            --output ${page} $<TARGET_FILE:${program}>
    DEPENDS ${program}
    COMMENT "Man page of ${program}" VERBATIM)
  list(APPEND PM_MAN_PAGES ${page})
endforeach()
add_custom_target(man ALL DEPENDS ${PM_MAN_PAGES})
install(FILES ${PM_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
