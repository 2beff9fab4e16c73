# Debian packages with CPack (`make package`), split the Debian way:
#   libvelmardll1     the shared library (component "runtime")
#   libvelmardll-dev  the header, the CMake package and the pkg-config file ("dev")
#   velmar-dds        the command-line tool, the simulated instrument and the
#                     SCPI server, with their man pages and bash completion ("tools")
# Their dependencies on system libraries come from dpkg-shlibdeps; on each
# other they depend at exactly this version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmardll)
set(CPACK_PACKAGE_VENDOR "The VelmarDll developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drive a Velmar direct digital synthesis signal generator")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The VelmarDll developers")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need the library of this very build, which no installed package
# provides yet: dpkg-shlibdeps finds it here, and the dependency on it is
# stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)

set(velmar_exact "(= ${PROJECT_VERSION}-1)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelmardll${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Drive a Velmar direct digital synthesis signal generator (shared library)
 libVelmarDll finds the attached Velmar DDS signal generators and drives them
 through fifteen DDS... functions: output frequency, arbitrary waveform,
 frequency meter and counter, trigger and modes, digital ports, power-on output.
 On Linux the instruments are sockets in a device directory.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelmardll-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvelmardll${PROJECT_VERSION_MAJOR} ${velmar_exact}")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "Drive a Velmar DDS signal generator (development files)
 The header VelmarDll.h, the CMake package (find_package(VelmarDll), target
 VelmarDll::VelmarDll) and the pkg-config module velmardll.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velmar-dds)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvelmardll${PROJECT_VERSION_MAJOR} ${velmar_exact}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "Drive a Velmar DDS signal generator from the command line or the network
 velmar-dds plans frequencies, downloads waveforms, reads the meter and drives
 the ports; velmar-dds-sim serves simulated instruments for it and for any
 program that uses libVelmarDll; velmar-dds-scpi serves each instrument as a
 SCPI raw-socket instrument.")

include(CPack)
