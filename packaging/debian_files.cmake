# Runs inside cpack on its staging tree (CPACK_TEMPORARY_DIRECTORY), before the
# .deb is built: adds the copyright file and the changelog, and gzips the manual
# page and the changelog as Debian expects (-n: no name or time stamp, so the
# package is the same on every build).
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${QZTAP_COPYRIGHT_FILE}" "${doc}/copyright")
file(COPY_FILE "${QZTAP_PACKAGING_DIR}/changelog" "${doc}/changelog")
foreach(file IN ITEMS "${doc}/changelog" "${root}/share/man/man1/qztap.1")
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# What this script made would otherwise carry the modes of the umask and the checkout.
file(CHMOD "${root}/share/doc" "${doc}" "${doc}/copyright" "${doc}/changelog.gz"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                           WORLD_READ WORLD_EXECUTE)
