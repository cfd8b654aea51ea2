# End-to-end tests of a build for the board. The test programs and the simulator are
# built natively in BINARY_DIR/host, a build of this project for the build machine that
# shares this build's sandbox root; each test starts this build's concentrator under
# the emulator and plays the equipment to it over loopback TCP. Only the GIEGLAN road
# runs here: the other end-to-end tests exercise the same code paths, and the native
# build runs them all.
include(ExternalProject)
set(CROSS_E2E_TESTS road_gieglan)

list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
set(host_targets "")
foreach(name ${CROSS_E2E_TESTS})
  list(APPEND host_targets --target e2e_${name}_test)
endforeach()
ExternalProject_Add(e2e_host
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/host
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Debug -DBOX_ROOT=${BOX_ROOT} -DBUILD_TESTS=ON
             -DE2E_PROGRAMS=${CMAKE_BINARY_DIR} -DE2E_EMULATOR=${emulator}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> ${host_targets}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)

foreach(name ${CROSS_E2E_TESTS})
  add_test(NAME e2e_${name}_test COMMAND ${CMAKE_BINARY_DIR}/host/tests/e2e_${name}_test)
  set_tests_properties(e2e_${name}_test PROPERTIES LABELS e2e RESOURCE_LOCK root_e2e TIMEOUT 400)
endforeach()
