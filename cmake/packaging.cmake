# Install rules, systemd units and Debian packages. Each program is one install component and one package:
# component agent -> package perfagent, component server -> package perfagent-server (when that target is
# built). `cmake --install build` installs both with their units; `cpack -G DEB` in the build folder writes
# the packages to packages/ there.

set(PERFAGENT_PACKAGE_MAINTAINER "perfagent maintainers <perfagent@localhost>" CACHE STRING
    "Maintainer field of the Debian packages, \"Name <email>\"")

# Installs a unit template into DESTINATION below the install prefix, with @PERFAGENT_PREFIX@ replaced by
# that prefix. It is written at install time: `cmake --install --prefix` and the packages (/usr) each get
# their own ExecStart path.
function(perfagent_install_unit template destination component)
  cmake_path(GET template STEM LAST_ONLY name)
  set(written ${PROJECT_BINARY_DIR}/units/${component}/${name})
  install(CODE "
    file(READ [[${template}]] unit)
    string(REPLACE \"@PERFAGENT_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" unit \"\${unit}\")
    file(WRITE [[${written}]] \"\${unit}\")
    file(INSTALL [[${written}]] DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  " COMPONENT ${component})
endfunction()

set(PERFAGENT_PACKAGE_COMPONENTS)

if(TARGET perfagent)
  install(TARGETS perfagent RUNTIME DESTINATION bin COMPONENT agent)
  # The agent finds these in ../share/perfagent beside its binary; the server's own resources are not its.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/ DESTINATION share/perfagent COMPONENT agent
          PATTERN server EXCLUDE)
  install(FILES ${PERFAGENT_UPLOT_FILES} DESTINATION share/perfagent COMPONENT agent)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/perfagent COMPONENT agent)
  perfagent_install_unit(${PROJECT_SOURCE_DIR}/packaging/perfagent.service.in lib/systemd/user agent)
  list(APPEND PERFAGENT_PACKAGE_COMPONENTS agent)
endif()

if(TARGET perfagent-server)
  install(TARGETS perfagent-server RUNTIME DESTINATION bin COMPONENT server)
  if(EXISTS ${PROJECT_SOURCE_DIR}/resources/server)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/server/ DESTINATION share/perfagent-server
            COMPONENT server)
  endif()
  install(FILES ${PERFAGENT_CHART_FILES} DESTINATION share/perfagent-server COMPONENT server)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/perfagent-server COMPONENT server)
  perfagent_install_unit(${PROJECT_SOURCE_DIR}/packaging/perfagent-server.service.in lib/systemd/system server)
  list(APPEND PERFAGENT_PACKAGE_COMPONENTS server)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME perfagent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PERFAGENT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# The install step runs with DESTDIR set and the real prefix, so the units name /usr/bin, not the staging
# folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${PERFAGENT_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# dpkg-shlibdeps derives Depends from the libraries the binaries link (Boost.JSON, libsndfile, SQLite, libpqxx).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME perfagent)
set(CPACK_DEBIAN_AGENT_DESCRIPTION "performance-measurement agent
Samples its own CPU and memory and the system's once per second while a named measurement runs,
and posts a JSON report after every sample to a collection server. Measurements are started and
stopped by authenticated push commands or from a local operator page. Runs as a user service.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME perfagent-server)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "collection server for perfagent reports
Receives the reports perfagent agents post, derives their runs and stores each sample once in SQLite
or PostgreSQL, and serves the runs as JSON, CSV and comparison pages. Runs as a system service with
its own user and its state in /var/lib/perfagent-server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/server/postinst
  ${PROJECT_SOURCE_DIR}/packaging/server/prerm
  ${PROJECT_SOURCE_DIR}/packaging/server/postrm)

include(CPack)
