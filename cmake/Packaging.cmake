# Debian packages built by "cpack -G DEB" from a configured and built tree:
#   norva-ark-zarafa           the plug-in, nv_rexec with libnv, the public
#                              headers, the nv_rexec manual page
#   norva-ark-zarafa-standins  dbhost and the groupware server simulator
#   norva-ark-zarafa-amanda    the Amanda application amarkzarafa
# The stand-ins are a package of their own so that a backup client never gets
# a fake server or a test host with the plug-in.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norva-ark-zarafa)
set(CPACK_PACKAGE_VENDOR "NORVA")
set(CPACK_PACKAGE_CONTACT "NORVA ark_zarafa maintainers <root@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin standins amanda)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Dependencies are stated: the packages that ship every library the installed
# programs need, and the OpenSSH client through which libnv reaches remote
# clients; each name exists on Debian 12 and 13. The versions are the floors
# of a build on Debian 12 (GLIBC_2.34, GLIBCXX_3.4.29); DebDepends.cmake
# raises them when cpack runs, to what the built programs reference.
set(CPACK_ARK_LIBC_FLOOR 2.34)
set(CPACK_ARK_LIBSTDCXX_FLOOR 11)
set(ARK_DEB_RUNTIME_DEPENDS
    "libc6 (>= ${CPACK_ARK_LIBC_FLOOR}), libgcc-s1, libstdc++6 (>= ${CPACK_ARK_LIBSTDCXX_FLOOR})")
set(CPACK_ARK_PLUGIN_ELF_FILES ${CMAKE_BINARY_DIR}/lib/ark_zarafa.so ${CMAKE_BINARY_DIR}/lib/libnv.so
    ${CMAKE_BINARY_DIR}/bin/nv_rexec)
set(CPACK_ARK_STANDINS_ELF_FILES ${CMAKE_BINARY_DIR}/bin/dbhost ${CMAKE_BINARY_DIR}/simbin/zarafa-sim)
set(CPACK_ARK_AMANDA_ELF_FILES ${CMAKE_BINARY_DIR}/bin/amarkzarafa)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/DebDepends.cmake)
if(ARK_SANITIZE)
  string(APPEND ARK_DEB_RUNTIME_DEPENDS ", libasan8, libubsan1")
endif()

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME norva-ark-zarafa)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS "${ARK_DEB_RUNTIME_DEPENDS}, libpcre2-posix3, libpq5, openssh-client")
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
  "NORVA mailbox backup plug-in for Zarafa groupware servers
ark_zarafa.so is loaded by the NORVA backup client from
${CPACK_PACKAGING_INSTALL_PREFIX}/${ARK_INSTALL_PLUGINDIR}
and backs up and restores the mailboxes of a Zarafa server with the server's
own tools. The package also holds the remote command tool nv_rexec with the
product runtime library libnv, and the plug-in's public C headers.")

set(CPACK_DEBIAN_STANDINS_PACKAGE_NAME norva-ark-zarafa-standins)
set(CPACK_DEBIAN_STANDINS_PACKAGE_DEPENDS "${ARK_DEB_RUNTIME_DEPENDS}")
set(CPACK_DEBIAN_STANDINS_PACKAGE_RECOMMENDS "norva-ark-zarafa (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_COMPONENT_STANDINS_DESCRIPTION
  "Test host and groupware server simulator for the NORVA Zarafa plug-in
dbhost drives a DB_ plug-in from the shell: backup, restore, listing of save
sets, plug-in information and self tests. The groupware server simulator
answers as zarafa-admin, zarafa-backup and zarafa-restore from
${CPACK_PACKAGING_INSTALL_PREFIX}/${ARK_INSTALL_SIMDIR}, which is never on PATH by default.")

set(CPACK_DEBIAN_AMANDA_PACKAGE_NAME norva-ark-zarafa-amanda)
# libarchive's run-time package took a new name with Debian 13's move to a
# 64-bit time_t (it still provides the old one): name the one built against.
set(ARK_DEB_LIBARCHIVE libarchive13)
execute_process(COMMAND dpkg-query -W "-f=\${Package} \${db:Status-Abbrev}" libarchive13t64
                OUTPUT_VARIABLE ark_archive_package ERROR_QUIET)
if(ark_archive_package MATCHES "^libarchive13t64 ii")
  set(ARK_DEB_LIBARCHIVE libarchive13t64)
endif()
set(CPACK_DEBIAN_AMANDA_PACKAGE_DEPENDS
    "${ARK_DEB_RUNTIME_DEPENDS}, ${ARK_DEB_LIBARCHIVE}, norva-ark-zarafa (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), amanda-client")
set(CPACK_COMPONENT_AMANDA_DESCRIPTION
  "Amanda application for the NORVA Zarafa plug-in
amarkzarafa, installed into Amanda's application directory
${CPACK_PACKAGING_INSTALL_PREFIX}/${ARK_AMANDA_APPLICATION_DIR}, backs up and restores the
mailboxes of a Zarafa server as one disk-list entry through ark_zarafa.so:
level 0 a full backup, level 1 a differential, each dump a pax archive.")

include(CPack)
