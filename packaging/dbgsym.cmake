# Run by CPack once the packages are made: mends the -dbgsym package into the
# form Debian gives its own. CPack writes the debug files' staging paths into
# md5sums instead of their paths in the package, and leaves the package
# without a source name and without documentation; Debian's link the
# documentation to the package they hold the symbols of, which they depend on.
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${ddeb} ${tree} COMMAND_ERROR_IS_FATAL ANY)

  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\nPackage: ([^\n]*)-dbgsym\n" "\nPackage: \\1-dbgsym\nSource: \\1\n" control "\n${control}")
  string(REGEX MATCH "\nSource: ([^\n]*)" source "${control}")
  set(package ${CMAKE_MATCH_1})
  string(SUBSTRING "${control}" 1 -1 control)
  file(WRITE ${tree}/DEBIAN/control "${control}")

  file(GLOB_RECURSE debug_files RELATIVE ${tree} ${tree}/usr/lib/debug/*.debug)
  set(md5sums "")
  foreach(file IN LISTS debug_files)
    # Data, not programs: CPack keeps the binaries' mode.
    file(CHMOD ${tree}/${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 ${tree}/${file} sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")

  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${package} ${tree}/usr/share/doc/${package}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${ddeb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
