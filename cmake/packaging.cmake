# Debian packages of the install components (cmake/install.cmake), built by
#   cpack -G DEB --config BUILD/CPackConfig.cmake -B OUTDIR
# (tests/checks/packaging_check.sh builds, installs, checks and removes them):
#   velmail                the library, velhost, the maildir provider, velcmc-passwd
#   velmail-net            the network provider, velnet-flush, velnet-status, the
#                          flush timer and the sample configuration
#   postgresql-15-velmail  the PostgreSQL extension (with velmail, whose
#                          velcmc-passwd makes the mail store's accounts)
#   velmail-dev            the contract headers
# Dependencies on the system's libraries come from dpkg-shlibdeps; those
# between the packages are stated here, for exactly this version. Each
# description's first line is its synopsis.
set(CPACK_PACKAGE_NAME velmail)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "velmail")
set(CPACK_PACKAGE_CONTACT "velmail developers <velmail@example.org>")
set(CPACK_GENERATOR DEB)
# Installed as into /usr (configuration into /etc, units into
# /lib/systemd/system: install.cmake's rule for the prefix /usr).
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL velmail net pgext dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(vel_same "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_VELMAIL_PACKAGE_NAME velmail)
set(CPACK_DEBIAN_VELMAIL_DESCRIPTION
  "mail procedures for a database server
velmail is a mail extension library for a database server: its procedures
log on to mail, send mail (with query results as text or attachments) and
read and delete the inbox, through a CMC 1.0 provider. This package holds
the library, the host's server, message and client libraries, the maildir
provider with velcmc-passwd, and velhost, the host program.")

set(CPACK_DEBIAN_NET_PACKAGE_NAME velmail-net)
set(CPACK_DEBIAN_NET_PACKAGE_DEPENDS "velmail ${vel_same}, adduser, ca-certificates")
set(CPACK_DEBIAN_NET_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_NET_DESCRIPTION
  "velmail's network mail provider (SMTP and IMAP)
The network CMC provider for velmail sends through SMTP submission servers
and reads an IMAP mailbox, with a durable spool and retries. This package
holds the provider, velnet-flush and velnet-status, a sample configuration
and a systemd timer that delivers what is queued as the user velnet.")
set(CPACK_DEBIAN_NET_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/velmail-net/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/velmail-net/postinst
  ${CMAKE_SOURCE_DIR}/packaging/velmail-net/postrm)

set(CPACK_DEBIAN_PGEXT_PACKAGE_NAME postgresql-15-velmail)
# The extension carries its own modules, but its mail store starts empty:
# velcmc-passwd (in velmail) makes the accounts that xp_startmail logs on to.
set(CPACK_DEBIAN_PGEXT_PACKAGE_DEPENDS "postgresql-15, velmail ${vel_same}")
set(CPACK_DEBIAN_PGEXT_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PGEXT_DESCRIPTION
  "velmail's mail procedures for PostgreSQL 15
The PostgreSQL extension velmail: CREATE EXTENSION velmail gives the
procedures of the velmail library to SQL, run by the calling backend,
with queries run in the caller's transaction.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME velmail-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "velmail ${vel_same}")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "velmail's contract headers
The headers of the binary contract between velmail, its hosts and its CMC
providers: the server library, the client library, the message library
and CMC 1.0.")

include(CPack)
