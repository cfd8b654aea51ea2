# Install-time part of the packaging: makes the service units and the init scripts for
# the prefix being installed to, and installs them. Units go to
# <prefix>/lib/systemd/system; init scripts to /etc/init.d for the prefix /usr (the
# box's, and the package's), else to <prefix>/etc/init.d. DESTDIR comes in front of both.
string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
set(BINDIR "${prefix}/bin")
set(DOCDIR "${prefix}/share/doc/${BOX_PACKAGE}")
if(prefix STREQUAL "/usr")
  set(etc /etc)
else()
  set(etc "${prefix}/etc")
endif()

set(units "")
foreach(name concentrator provisioning)
  configure_file(${BOX_PACKAGING_DIR}/${name}.service.in ${BOX_SERVICES_DIR}/${name}.service @ONLY)
  list(APPEND units ${BOX_SERVICES_DIR}/${name}.service)
endforeach()

set(NAME concentrator)
set(DESCRIPTION "Measurement concentrator of the inspection station")
set(WORKDIR /home/KELDRAN/DATA/log)
configure_file(${BOX_PACKAGING_DIR}/box.init.in ${BOX_SERVICES_DIR}/init.d/concentrator @ONLY)
set(NAME provisioning)
set(DESCRIPTION "Factory provisioning of the inspection-station box")
set(WORKDIR /home/KELDRAN/DATA)
configure_file(${BOX_PACKAGING_DIR}/box.init.in ${BOX_SERVICES_DIR}/init.d/provisioning @ONLY)

file(INSTALL ${units} DESTINATION "${prefix}/lib/systemd/system")
file(INSTALL ${BOX_SERVICES_DIR}/init.d/concentrator ${BOX_SERVICES_DIR}/init.d/provisioning
     DESTINATION "${etc}/init.d"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
