# What an installation holds, by component (the packages of
# cmake/packaging.cmake are these components):
#   velmail  the library, the host's libraries, the maildir provider (also as
#            libmapi32.so, the provider name the library uses by default),
#            velhost and velcmc-passwd
#   net      the network provider, velnet-flush and velnet-status, the
#            sample configuration and the flush timer
#   pgext    the PostgreSQL extension (hosts/pgext/CMakeLists.txt)
#   dev      the contract headers
# Every destination is relative to the prefix, so `cmake --install BUILD
# --prefix DIR` writes below DIR only; the configuration and the system's
# unit files go to /etc and /lib/systemd/system when the prefix is /usr (as
# GNUInstallDirs does for /etc), else below the prefix too. Run paths are
# relative ($ORIGIN), so an installed tree works wherever it is put.
if(WIN32)
  return()
endif()

# File versions. Hosts load the modules by their plain names (libvelmail.so,
# libvelcmc.so, ...), which stay as links to the versioned files. The
# message library and libmapi32.so keep their plain names as their sonames:
# the library finds them already loaded under those names.
foreach(module velsrv velct velmime velmail velcmc velnet)
  if(TARGET ${module})
    set_target_properties(${module} PROPERTIES
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endforeach()

file(RELATIVE_PATH vel_bin_to_modules
  /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VEL_INSTALL_MODULEDIR})
file(RELATIVE_PATH vel_sbin_to_modules
  /prefix/${CMAKE_INSTALL_SBINDIR} /prefix/${VEL_INSTALL_MODULEDIR})

# The modules find each other beside themselves.
set(vel_modules velmail velsrv velmsgs velct velmime velcmc velcmc_mapi32)
foreach(module ${vel_modules} velnet)
  set_target_properties(${module} PROPERTIES INSTALL_RPATH "$ORIGIN")
endforeach()
set_target_properties(velhost PROPERTIES INSTALL_RPATH "$ORIGIN/${vel_bin_to_modules}")
foreach(tool velcmc-passwd velnet-flush velnet-status)
  set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${vel_sbin_to_modules}")
endforeach()

install(TARGETS ${vel_modules}
  LIBRARY DESTINATION ${VEL_INSTALL_MODULEDIR} COMPONENT velmail NAMELINK_COMPONENT velmail)
install(TARGETS velhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT velmail)
install(TARGETS velcmc-passwd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT velmail)

install(TARGETS velnet
  LIBRARY DESTINATION ${VEL_INSTALL_MODULEDIR} COMPONENT net NAMELINK_COMPONENT net)
install(TARGETS velnet-flush velnet-status
  RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT net)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velmail COMPONENT dev FILES_MATCHING PATTERN "*.h")

# Manual pages, compressed as the system keeps them.
set(vel_man_pages velhost.1:velmail velcmc-passwd.8:velmail velnet-flush.8:net
                  velnet-status.8:net velnet.ini.5:net)
foreach(entry ${vel_man_pages})
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 page)
  list(GET entry 1 component)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND vel_man_outputs ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()

# The network provider's sample configuration with the system's spool and
# log (the provider's own sample, printed by velnet-sample-config).
set(vel_sample ${CMAKE_BINARY_DIR}/packaging/velnet.ini)
add_custom_command(OUTPUT ${vel_sample}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND $<TARGET_FILE:velnet-sample-config> /var/spool/velnet /var/log/velnet/velnet.log
          > ${vel_sample}
  DEPENDS velnet-sample-config VERBATIM)
add_custom_target(vel_install_files ALL DEPENDS ${vel_man_outputs} ${vel_sample})

# /etc and the unit directory: the system's when the prefix is /usr, else
# below the prefix (file(INSTALL) puts DESTDIR in front itself).
set(vel_net_units
  ${CMAKE_SOURCE_DIR}/packaging/velnet-flush@.service
  ${CMAKE_SOURCE_DIR}/packaging/velnet-flush@.timer)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(vel_etc /etc)
    set(vel_units /lib/systemd/system)
  else()
    set(vel_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    set(vel_units \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endif()
  file(INSTALL DESTINATION \"\${vel_etc}/velmail\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"${vel_sample}\")
  file(INSTALL DESTINATION \"\${vel_units}\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES ${vel_net_units})
" COMPONENT net)

# What every package documents: its copyright, its changelog, and for the
# network package how the timer is set up.
foreach(entry velmail:velmail velmail-net:net postgresql-15-velmail:pgext velmail-dev:dev)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 package)
  list(GET entry 1 component)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/docs/INSTALL.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmail-net COMPONENT net RENAME README.operators.md)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(vel_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
