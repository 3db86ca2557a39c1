# `cpack -G DEB` in the build folder: three Debian packages from the install components,
# libportmdl<soversion> (runtime), libportmdl-dev and portmdl-tools.
set(CPACK_PACKAGE_NAME portmdl)
set(CPACK_PACKAGE_VENDOR "portmdl developers")
set(CPACK_PACKAGE_CONTACT "portmdl developers <portmdl@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# pmctl needs the library of this very build, which no installed package yet provides.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(PM_DEB_RUNTIME libportmdl${PROJECT_VERSION_MAJOR})
set(PM_DEB_EXACT "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${PM_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "${PROJECT_DESCRIPTION}\n The shared library that host applications load, and a udev rule that\n keeps ModemManager away from phones.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libportmdl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${PM_DEB_RUNTIME} ${PM_DEB_EXACT}, libudev-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "${PROJECT_DESCRIPTION} (development files)\n The C header, the CMake package (find_package(portmdl)), the pkg-config\n file, the host guide and its examples.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME portmdl-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${PM_DEB_RUNTIME} ${PM_DEB_EXACT}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "${PROJECT_DESCRIPTION} (tools)\n pmctl talks to a phone through the library and reads communication logs;\n portmdl-modemd serves a phone's modem tty to cable type 5;\n the simulators play a phone on a pseudo-terminal.")
set(CPACK_COMPONENTS_ALL runtime dev)
if(PM_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
pm_package_python() # python3-portmdl (cmake/PythonPackage.cmake)
include(CPack)
