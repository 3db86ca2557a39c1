# Run by cpack after the packages are made (CPACK_POST_BUILD_SCRIPTS). CPack 3.25 writes the
# -dbgsym packages with md5sums that name its own build paths and without a doc folder; each is
# rebuilt here as Debian's own debug packages are: md5sums of the files they hold, and
# /usr/share/doc/NAME-dbgsym a link to the doc folder of NAME, on which it depends exactly.
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "\\.ddeb$")
    continue()
  endif()
  set(tree ${ddeb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${ddeb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND dpkg-deb -f ${ddeb} Package OUTPUT_VARIABLE name
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "-dbgsym$" "" main "${name}")
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${main} ${tree}/usr/share/doc/${name} SYMBOLIC)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
  set(sums "")
  foreach(path IN LISTS files)
    if(NOT IS_SYMLINK ${tree}/${path})
      file(MD5 ${tree}/${path} sum)
      string(APPEND sums "${sum}  ${path}\n")
    endif()
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${ddeb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
