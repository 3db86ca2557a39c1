# `cpack -G DEB` in the build folder: one Debian package per install component, each with its
# -dbgsym package (the debug symbols stripped from its binaries), and all of them lintian-clean.
# A new package is one pm_deb_package() call below and the install() rules of its component
# (docs/install.md, "Adding a package").
set(CPACK_PACKAGE_NAME portmdl)
set(CPACK_PACKAGE_VENDOR "portmdl developers")
set(CPACK_PACKAGE_CONTACT "portmdl developers <portmdl-dev@lists.example.org>")
# Each package has its own synopsis, the first line of its description; CPack would otherwise put
# the project's one in front of each, and lintian reports the same synopsis in several packages.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# pmctl needs the library of this very build, which no installed package yet provides.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# Binaries go into the packages stripped; what was stripped goes into NAME-dbgsym (a .ddeb). CPack
# strips them itself for that, so they must reach it unstripped (CPACK_STRIP_FILES off).
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/DbgsymPackages.cmake)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What every package carries in /usr/share/doc/NAME: the copyright in Debian's machine-readable
# form (made from LICENSE) and the changelog, compressed as Debian wants it.
set(PM_DEB_DIR ${PROJECT_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE pm_license)
string(REGEX MATCH "^MIT License\n\nCopyright \\(c\\) ([^\n]*)\n\n" pm_license_head "${pm_license}")
if(NOT pm_license_head)
  message(FATAL_ERROR "LICENSE does not begin with 'MIT License' and its copyright line")
endif()
set(pm_license_holder "${CMAKE_MATCH_1}")
string(LENGTH "${pm_license_head}" pm_length)
string(SUBSTRING "${pm_license}" ${pm_length} -1 pm_license_terms)
string(REGEX REPLACE "\n+$" "" pm_license_terms "${pm_license_terms}")
string(REGEX REPLACE "\n\n" "\n.\n" pm_license_terms "${pm_license_terms}")
string(REGEX REPLACE "\n" "\n " pm_license_terms "${pm_license_terms}")
file(WRITE ${PM_DEB_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${pm_license_holder}
License: Expat

License: Expat
 ${pm_license_terms}
")
set(PM_DEB_CHANGELOG ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
file(STRINGS ${PM_DEB_CHANGELOG} pm_changelog_top LIMIT_COUNT 1)
if(NOT pm_changelog_top MATCHES "^${PROJECT_NAME} \\(${PROJECT_VERSION}\\) ")
  message(WARNING "cmake/debian/changelog does not begin with version ${PROJECT_VERSION}: add an "
                  "entry for it before making packages (lintian fails them otherwise)")
endif()
add_custom_command(OUTPUT ${PM_DEB_DIR}/changelog.gz
  COMMAND gzip -9nc ${PM_DEB_CHANGELOG} > ${PM_DEB_DIR}/changelog.gz
  DEPENDS ${PM_DEB_CHANGELOG} COMMENT "Compressing the Debian changelog" VERBATIM)
add_custom_target(deb_changelog ALL DEPENDS ${PM_DEB_DIR}/changelog.gz)

# pm_deb_package(COMPONENT NAME name SECTION section SUMMARY "synopsis"
#                DESCRIPTION "line" ... [DEPENDS "dep, dep"] [CONTROL file ...])
# Makes install component COMPONENT the Debian package NAME: its synopsis (under 80 characters,
# different from the other packages'), its extended description (each argument one line of at
# most 79 characters, "." between paragraphs; CPack indents them), its own doc folder with the
# copyright and the changelog.
set(CPACK_COMPONENTS_ALL)
macro(pm_deb_package component)
  cmake_parse_arguments(PMDEB "" "NAME;SECTION;SUMMARY" "DESCRIPTION;DEPENDS;CONTROL" ${ARGN})
  string(TOUPPER ${component} pm_upper)
  set(pm_text "${PMDEB_SUMMARY}")
  foreach(line IN LISTS PMDEB_DESCRIPTION)
    string(LENGTH "${line}" pm_length)
    if(pm_length GREATER 79)
      message(FATAL_ERROR "${PMDEB_NAME}: description line longer than 79 characters: ${line}")
    endif()
    if(line STREQUAL ".")
      set(line "")
    endif()
    string(APPEND pm_text "\n${line}")
  endforeach()
  set(CPACK_DEBIAN_${pm_upper}_PACKAGE_NAME ${PMDEB_NAME})
  set(CPACK_DEBIAN_${pm_upper}_DESCRIPTION "${pm_text}")
  if(PMDEB_SECTION)
    set(CPACK_DEBIAN_${pm_upper}_PACKAGE_SECTION ${PMDEB_SECTION})
  endif()
  if(PMDEB_DEPENDS)
    set(CPACK_DEBIAN_${pm_upper}_PACKAGE_DEPENDS "${PMDEB_DEPENDS}")
  endif()
  if(PMDEB_CONTROL)
    set(CPACK_DEBIAN_${pm_upper}_PACKAGE_CONTROL_EXTRA ${PMDEB_CONTROL})
  endif()
  install(FILES ${PM_DEB_DIR}/copyright ${PM_DEB_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PMDEB_NAME} COMPONENT ${component})
  list(APPEND CPACK_COMPONENTS_ALL ${component})
endmacro()

set(PM_DEB_RUNTIME libportmdl${PROJECT_VERSION_MAJOR})
set(PM_DEB_EXACT "(= ${PROJECT_VERSION})")

# The library package: shlibs and a symbols file (one line per version node of portmdl.map), and
# ldconfig through dpkg's trigger. CPack 3.25 would write postinst/postrm scripts that call
# ldconfig as soon as it sees a library, unless the package brings its own: naming the two (no
# such files exist, so none are added; CPack warns that they are missing) keeps it from writing
# them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # only packages with a library get the file
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/symbols.in ${PM_DEB_DIR}/symbols @ONLY)
pm_deb_package(runtime NAME ${PM_DEB_RUNTIME} SECTION libs
  SUMMARY "phone port module: serial, USB modem and Bluetooth links to phones"
  DESCRIPTION
    "libportmdl talks to mobile phones over a USB serial terminal, a phone modem"
    "behind its driver's service, or Bluetooth RFCOMM, and keeps a scrambled"
    "rolling log of the communication."
    "."
    "This package holds the shared library that host applications load, and a"
    "udev rule that keeps ModemManager away from phones."
  CONTROL ${PM_DEB_DIR}/symbols ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
          ${PM_DEB_DIR}/no-such-file/postinst ${PM_DEB_DIR}/no-such-file/postrm)

pm_deb_package(doc NAME portmdl-doc SECTION doc
  SUMMARY "phone port module: documentation"
  DESCRIPTION
    "libportmdl talks to mobile phones over a USB serial terminal, a phone modem"
    "behind its driver's service, or Bluetooth RFCOMM."
    "."
    "This package holds the README, the guides for hosts, pmctl, the modem and"
    "Bluetooth transports and troubleshooting, and the example Bluetooth world.")
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS portmdl-doc)

pm_deb_package(dev NAME libportmdl-dev SECTION libdevel
  SUMMARY "phone port module: development files"
  DESCRIPTION
    "libportmdl talks to mobile phones over a USB serial terminal, a phone modem"
    "behind its driver's service, or Bluetooth RFCOMM."
    "."
    "This package holds the C header, the CMake package (find_package(portmdl)),"
    "the pkg-config file, the host guide and its examples."
  DEPENDS "${PM_DEB_RUNTIME} ${PM_DEB_EXACT}, libudev-dev")

if(PM_BUILD_TOOLS)
  pm_deb_package(tools NAME portmdl-tools SECTION utils
    SUMMARY "phone port module: command-line tool, modem daemon and simulators"
    DESCRIPTION
      "pmctl talks to a phone through libportmdl, lists serial devices and reads"
      "communication logs; portmdl-modemd serves a phone's modem terminal to"
      "cable type 5; the simulators play a phone on a pseudo-terminal or as a"
      "modem driver."
    DEPENDS "${PM_DEB_RUNTIME} ${PM_DEB_EXACT}")
endif()
pm_package_python() # python3-portmdl (cmake/PythonPackage.cmake)
include(CPack)
