# Install rules and the Debian packages of `make package` (CPack's DEB generator over the
# normal build, so the packages reuse its binaries):
#   tamblo-server:  /usr/sbin/TambloServer with its proxy workers' image /usr/sbin/tamblo-zygote
#                   beside it (the server looks there), its unit, /etc/tamblo/TambloServer_log.conf,
#                   /etc/default/tamblo-server, logrotate, the reference configuration
#                   service (/usr/bin/tamblo-config-service with its own unit, not enabled),
#                   /usr/bin/tamblo-keygen (key pairs of authenticated gateways) and
#                   /usr/bin/tamblo-directory-schema for the shared gateway directory;
#   tamblo-gateway: /usr/bin/tamblo-gateway, its unit and /etc/default/tamblo-gateway.
# Dependencies on shared libraries come from dpkg-shlibdeps.
set(TAMBLO_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(TAMBLO_UNITS ${CMAKE_SOURCE_DIR}/systemd)
set(TAMBLO_UNIT_DIR /lib/systemd/system)

install(TARGETS TambloServer tamblo-zygote RUNTIME DESTINATION sbin COMPONENT server)
install(TARGETS tamblo-keygen RUNTIME DESTINATION bin COMPONENT server)
install(TARGETS tamblo-directory-schema RUNTIME DESTINATION bin COMPONENT server)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/config-service/tamblo-config-service
        DESTINATION bin COMPONENT server)
install(FILES ${TAMBLO_UNITS}/tamblo-server.service ${TAMBLO_UNITS}/tamblo-config-service.service
        DESTINATION ${TAMBLO_UNIT_DIR} COMPONENT server)
install(FILES ${TAMBLO_PACKAGING}/TambloServer_log.conf ${TAMBLO_PACKAGING}/config-service.json
        DESTINATION /etc/tamblo COMPONENT server)
install(FILES ${TAMBLO_PACKAGING}/tamblo-server.default DESTINATION /etc/default
        RENAME tamblo-server COMPONENT server)
install(FILES ${TAMBLO_PACKAGING}/tamblo-server.logrotate DESTINATION /etc/logrotate.d
        RENAME tamblo-server COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/tamblo-server
        COMPONENT server)

install(TARGETS tamblo-gateway RUNTIME DESTINATION bin COMPONENT gateway)
install(FILES ${TAMBLO_UNITS}/tamblo-gateway.service DESTINATION ${TAMBLO_UNIT_DIR}
        COMPONENT gateway)
install(FILES ${TAMBLO_PACKAGING}/tamblo-gateway.default DESTINATION /etc/default
        RENAME tamblo-gateway COMPONENT gateway)
install(FILES ${CMAKE_SOURCE_DIR}/tools/gateway/README.md DESTINATION share/doc/tamblo-gateway
        COMPONENT gateway)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamblo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server gateway)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TambloServer developers <tamblo@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tamblo-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52), python3")
# libpq5 comes in through the shared library dependencies. The gateway directory's database
# is usually on another machine, so no PostgreSQL server is asked for; psql helps prepare its
# role and database from here.
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "tamblo-gateway, logrotate, postgresql-client")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Relay server to devices behind NAT gateways\nTambloServer lets clients on the internet reach devices on home networks through\ngateway clients that keep a UDP association with it. This package holds the server,\nits systemd unit (with a watchdog and a metrics endpoint on loopback), the default\nlogging configuration and the reference configuration service.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${TAMBLO_PACKAGING}/server/postinst;${TAMBLO_PACKAGING}/server/prerm;${TAMBLO_PACKAGING}/server/postrm;${TAMBLO_PACKAGING}/server/conffiles")

set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME tamblo-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_COMPONENT_GATEWAY_DESCRIPTION
    "Reference gateway client of TambloServer\nKeeps a UDP association with a TambloServer and delivers the TCP segments tunnelled\nthrough it to devices on the local network through a TUN device.")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
    "${TAMBLO_PACKAGING}/gateway/postinst;${TAMBLO_PACKAGING}/gateway/prerm;${TAMBLO_PACKAGING}/gateway/postrm;${TAMBLO_PACKAGING}/gateway/conffiles")

include(CPack)
