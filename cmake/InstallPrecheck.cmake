# Runs first at install time: when a destination folder cannot be written, stop before the first
# file is copied, so that nothing is left installed half-way.
# udev reads rules only from its own folders; a /usr/local install places the rule here for the
# administrator to copy (docs/troubleshooting.md says how).
set(PM_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING "Where the udev rule goes, under the prefix")

set(PM_INSTALL_DIRS ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR} ${CMAKE_INSTALL_INCLUDEDIR}
    ${CMAKE_INSTALL_DATADIR} ${CMAKE_INSTALL_MANDIR} ${PM_UDEV_RULES_DIR})
install(CODE "
  foreach(dir ${PM_INSTALL_DIRS})
    if(IS_ABSOLUTE \"\${dir}\")
      set(path \"\$ENV{DESTDIR}\${dir}\")
    else()
      set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${dir}\")
    endif()
    # The folder, or the nearest one above it that exists, must be a writable folder.
    while(NOT EXISTS \"\${path}\")
      get_filename_component(path \"\${path}\" DIRECTORY)
    endwhile()
    execute_process(COMMAND test -d \"\${path}\" -a -w \"\${path}\" RESULT_VARIABLE denied)
    if(denied)
      message(FATAL_ERROR \"cannot install into \${CMAKE_INSTALL_PREFIX}: \${path} is not a \"
        \"writable folder, so nothing was installed. Install with sudo, or into a folder of \"
        \"yours: cmake --install BUILD --prefix DIR (docs/install.md says how hosts find it).\")
    endif()
  endforeach()
")
