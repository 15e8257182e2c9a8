# Runs inside cpack after it has made the .deb, and packs the same files again with
# dpkg-deb. CPack writes the archive's three members with the modes the umask gave
# them (rw-rw-r-- under umask 002), so its package depends on who builds it; dpkg-deb
# writes them with fixed modes, dates them from SOURCE_DATE_EPOCH and owns everything
# by root. The unpacked tree's own directory is the only thing the umask still touches.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD "${tree}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
