# What `cmake --install` puts under the prefix, in components that the Debian packages follow:
# "runtime" (the shared library, the udev rule), "dev" (header, link name, CMake package,
# pkg-config file, examples), "doc" (README, LICENSE, docs/ and what they link to), "tools"
# (pmctl, the daemon, the simulators, their man pages).
include(CMakePackageConfigHelpers)

set(PM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/portmdl)
set(PM_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/portmdl)

install(TARGETS portmdl EXPORT portmdlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES include/portmdl/PortMdl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/portmdl
  COMPONENT dev)
install(EXPORT portmdlTargets NAMESPACE portmdl:: DESTINATION ${PM_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/portmdlConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/portmdlConfig.cmake INSTALL_DESTINATION ${PM_CMAKE_DIR}
  PATH_VARS PM_DOC_DIR)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/portmdlConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/portmdlConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/portmdlConfigVersion.cmake DESTINATION ${PM_CMAKE_DIR} COMPONENT dev)

# The pkg-config file finds its prefix from where it lies, so the same file serves any prefix
# (and the packages, which install under /usr what was configured for /usr/local).
file(RELATIVE_PATH PM_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PM_PC_TO_PREFIX "${PM_PC_TO_PREFIX}")
configure_file(cmake/portmdl.pc.in ${CMAKE_CURRENT_BINARY_DIR}/portmdl.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/portmdl.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(FILES contrib/60-portmdl-phones.rules DESTINATION ${PM_UDEV_RULES_DIR} COMPONENT runtime)
install(DIRECTORY examples/ DESTINATION ${PM_DOC_DIR}/examples COMPONENT dev)

# The documentation keeps the source tree's layout, so the README's and the guides' relative links
# work where they are installed; only the README's link to the header is pointed at the installed
# one.
file(READ README.md pm_readme)
file(RELATIVE_PATH pm_doc_to_include ${CMAKE_INSTALL_FULL_DATADIR}/doc/portmdl
     ${CMAKE_INSTALL_FULL_INCLUDEDIR})
string(REPLACE "](include/" "](${pm_doc_to_include}/" pm_readme "${pm_readme}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md "${pm_readme}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md LICENSE DESTINATION ${PM_DOC_DIR}
        COMPONENT doc)
install(DIRECTORY docs/ DESTINATION ${PM_DOC_DIR}/docs COMPONENT doc FILES_MATCHING PATTERN "*.md")
install(FILES sim/bluetooth-world.example.json DESTINATION ${PM_DOC_DIR}/sim COMPONENT doc)

if(PM_BUILD_TOOLS)
  # pmctl finds the library next to it under any prefix, also one outside the loader's path.
  set_target_properties(pmctl PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS pmctl ${PM_SIM_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT tools)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/PythonPackage.cmake) # the component "python"
