# The Debian package (`make package`): install rules for the system layout and
# CPack's DEB generator.
#
#   /usr/lib/ordalen/ordalen      the program (cap_net_raw+ep set by postinst)
#   /usr/bin/ordalen              the command: the program with /etc/ordalen and
#                                 /var/lib/ordalen as its folders
#   /etc/ordalen/                 config.ini, accounts.csv (0640 root:ordalen),
#                                 targetMIB.xml, snmp/share/snmp/snmp.conf: conffiles
#   /lib/systemd/system/          ordalen.service, ordalen.timer, ordalen@.service,
#                                 ordalen@.timer (installed disabled)
#   /var/lib/ordalen/             results, log, SNMP state (made by postinst,
#                                 owned by the system user ordalen, removed on purge)
#
# A build that is only copied (build/ordalen with its files beside it) needs
# none of this.

set(pkg ${CMAKE_CURRENT_LIST_DIR})
set(pkg_out ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pkg_out})

# The manual page, compressed as Debian ships it, and a text rendering to read
# (`make man`); ctest checks it for warnings.
find_program(ORDALEN_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${pkg_out}/ordalen.8.gz
  COMMAND ${ORDALEN_GZIP} -9nc ${pkg}/ordalen.8 > ${pkg_out}/ordalen.8.gz
  DEPENDS ${pkg}/ordalen.8 VERBATIM)
add_custom_command(
  OUTPUT ${pkg_out}/changelog.gz
  COMMAND ${ORDALEN_GZIP} -9nc ${pkg}/debian/changelog > ${pkg_out}/changelog.gz
  DEPENDS ${pkg}/debian/changelog VERBATIM)
add_custom_target(ordalen_package_files ALL DEPENDS ${pkg_out}/ordalen.8.gz ${pkg_out}/changelog.gz)
find_program(ORDALEN_GROFF groff)
if(ORDALEN_GROFF)
  # Any warning of groff -ww fails the target.
  add_custom_command(
    OUTPUT ${pkg_out}/ordalen.8.txt
    COMMAND /bin/sh -c "w=$(${ORDALEN_GROFF} -man -ww -Tutf8 -P-cbou -rLL=80n \"$1\" 2>&1 >\"$2\") && [ -z \"$w\" ] || { echo \"$w\" >&2; rm -f \"$2\"; exit 1; }"
            sh ${pkg}/ordalen.8 ${pkg_out}/ordalen.8.txt
    DEPENDS ${pkg}/ordalen.8 VERBATIM)
  add_custom_target(man DEPENDS ${pkg_out}/ordalen.8.txt ${pkg_out}/ordalen.8.gz)
endif()

install(TARGETS ordalen RUNTIME DESTINATION lib/ordalen)
# A stripped binary keeps sections no one reads; Debian's packages drop them.
find_program(ORDALEN_OBJCOPY objcopy)
if(ORDALEN_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND ${ORDALEN_OBJCOPY} --remove-section=.comment --remove-section=.note
                              \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/ordalen/ordalen)
    endif()")
endif()
install(PROGRAMS ${pkg}/ordalen.sh DESTINATION bin RENAME ordalen)
install(FILES ${pkg_out}/ordalen.8.gz DESTINATION share/man/man8)
install(FILES ${pkg}/debian/copyright ${pkg_out}/changelog.gz DESTINATION share/doc/ordalen)
install(FILES ${pkg}/debian/lintian-overrides DESTINATION share/lintian/overrides RENAME ordalen)
install(FILES ${pkg}/systemd/ordalen.service ${pkg}/systemd/ordalen.timer
              ${pkg}/systemd/ordalen@.service ${pkg}/systemd/ordalen@.timer
        DESTINATION /lib/systemd/system)
install(FILES ${pkg}/etc/config.ini ${pkg}/etc/targetMIB.xml DESTINATION /etc/ordalen)
# Pass phrases: postinst gives the file to the group ordalen (dpkg-statoverride).
install(FILES ${pkg}/etc/accounts.csv DESTINATION /etc/ordalen
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${pkg}/etc/snmp.conf DESTINATION /etc/ordalen/snmp/share/snmp)
# The SNMP library's MIB folder: empty (no MIB module is loaded), owned here so
# that nothing of a run is left in /etc.
install(DIRECTORY DESTINATION /etc/ordalen/snmp/share/snmp/mibs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ordalen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "ordalen developers <ordalen@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended scanner that finds and identifies every LAN host")
# CPack indents every line and writes an empty one as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ordalen finds the hosts of the local networks, or of an address range, by
ARP and ICMP echo, and identifies each: TCP ports, NetBIOS names, the computer
name over WMI, and over SNMP v1/v2c/v3 the system description and, through a
table of per-model objects, the model name and firmware version. One XML file
per scan, a rotating log, exit codes for schedulers.

The package runs a daily scan as an unprivileged system user with only
CAP_NET_RAW (ordalen.timer, disabled until enabled).")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The system user and setcap in postinst (setpriv, for root's runs of the
# command, is essential).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg}/debian/conffiles ${pkg}/debian/postinst ${pkg}/debian/prerm ${pkg}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
