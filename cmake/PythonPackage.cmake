# The Python package (python/portmdl) as the install component "python" and the Debian package
# python3-portmdl: pure Python, installed where Debian's python3 looks for packages, with the
# metadata that registers its pytest plugin. Included by Install.cmake; Packaging.cmake calls
# pm_package_python() before include(CPack).
set(PM_PYTHON_DIR lib/python3/dist-packages)
set(PM_PYTHON_DIST ${PM_PYTHON_DIR}/portmdl-${PROJECT_VERSION}.dist-info)
file(GLOB PM_PYTHON_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/portmdl/*.py)
install(FILES ${PM_PYTHON_SOURCES} ${PROJECT_SOURCE_DIR}/python/portmdl/py.typed
  DESTINATION ${PM_PYTHON_DIR}/portmdl COMPONENT python)
# What pip would write: importlib.metadata finds the package, and pytest its plugin, by these.
file(WRITE ${PROJECT_BINARY_DIR}/python-dist-info/METADATA
  "Metadata-Version: 2.1\nName: portmdl\nVersion: ${PROJECT_VERSION}\n"
  "Summary: Talk to mobile phones through libportmdl\n")
file(WRITE ${PROJECT_BINARY_DIR}/python-dist-info/entry_points.txt
  "[pytest11]\nportmdl = portmdl.pytest_plugin\n")
file(WRITE ${PROJECT_BINARY_DIR}/python-dist-info/top_level.txt "portmdl\n")
file(WRITE ${PROJECT_BINARY_DIR}/python-dist-info/INSTALLER "dpkg\n")
install(DIRECTORY ${PROJECT_BINARY_DIR}/python-dist-info/ DESTINATION ${PM_PYTHON_DIST}
  COMPONENT python)
install(FILES docs/python.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-portmdl
  COMPONENT python)

# The package needs the library of this very version; it recommends pmctl and the simulators,
# which read_log and portmdl.testing start.
macro(pm_package_python)
  pm_deb_package(python NAME python3-portmdl SECTION python
    SUMMARY "phone port module: Python package"
    DESCRIPTION
      "libportmdl talks to mobile phones over a USB serial terminal, a phone modem"
      "behind its driver's service, or Bluetooth RFCOMM."
      "."
      "This package holds the portmdl Python package: ports, device and Bluetooth"
      "listing, the communication log as events, and simulated phones for tests"
      "(a pytest plugin)."
    DEPENDS "python3:any, ${PM_DEB_RUNTIME} ${PM_DEB_EXACT}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "portmdl-tools ${PM_DEB_EXACT}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
endmacro()
