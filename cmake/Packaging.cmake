# Debian packages with CPack (`make package`), split the Debian way:
#   libvelmardll1       the shared libraries libVelmarDll.so.1 and
#                       libvelmardds.so.1 (component "deb_runtime")
#   libvelmardll-dev    headers, link names, CMake package, pkg-config files,
#                       section 3 manual pages ("deb_dev")
#   velmar-dds          the command-line tool, the simulated instrument and the
#                       SCPI server with its systemd unit, man pages and bash
#                       completion ("tools")
#   python3-velmar-dds  the Python package velmar_dds ("python")
# with their debug symbols in -dbgsym packages (.ddeb) beside them.
#
# The packages lay the libraries out under /usr/lib/<multiarch triplet>, as
# Debian keeps a library of each architecture, whatever prefix this tree was
# configured for: their library components are a second layout of the
# install rules of src/ (velmar_install_libraries), and like every file only
# the packages carry (the systemd unit, the Python package, the Debian
# documents) they are installed by CPack alone (EXCLUDE_FROM_ALL). A plain
# `cmake --install` is not changed by any of it.
#
# Their dependencies on system libraries come from dpkg-shlibdeps; on each
# other they depend at exactly this version, but for the Python package,
# which is built for every architecture at once and so takes any library from
# this version on.

set(VELMAR_DEB_MULTIARCH "" CACHE STRING
  "Debian multiarch triplet of the packages' library directory (empty: ask dpkg-architecture)")
set(velmar_multiarch ${VELMAR_DEB_MULTIARCH})
if(NOT velmar_multiarch)
  find_program(VELMAR_DPKG_ARCHITECTURE dpkg-architecture)
  if(VELMAR_DPKG_ARCHITECTURE)
    execute_process(COMMAND ${VELMAR_DPKG_ARCHITECTURE} -qDEB_HOST_MULTIARCH
      OUTPUT_VARIABLE velmar_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT velmar_multiarch)
  set(velmar_multiarch ${CMAKE_LIBRARY_ARCHITECTURE})
endif()
if(NOT velmar_multiarch)
  message(STATUS "Debian packages: not available (no multiarch triplet; Debian: dpkg-dev)")
  return()
endif()

set(velmar_version ${PROJECT_VERSION}-1)
set(velmar_lib_package libvelmardll${PROJECT_VERSION_MAJOR})
set(velmar_maintainer "VelmarDll developers <velmardll@example.org>")
set(velmar_debian ${PROJECT_BINARY_DIR}/debian)

# ---- What the packages hold -------------------------------------------------

velmar_install_libraries(lib/${velmar_multiarch} deb_runtime deb_dev EXCLUDE_FROM_ALL)
if(TARGET velmar-dds-scpi)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/velmar-dds-scpi.service
    DESTINATION lib/systemd/system COMPONENT tools EXCLUDE_FROM_ALL)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/velmar_dds DESTINATION lib/python3/dist-packages
  COMPONENT python EXCLUDE_FROM_ALL
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

# Debian's documents of each package: the licence as a machine-readable
# copyright file, the packaging changelog and the project's own changelog
# (both compressed by contrib/debian/staging.cmake).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE velmar_license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" velmar_copyright "${velmar_license}")
set(velmar_copyright ${CMAKE_MATCH_1})
string(REGEX REPLACE "^.*\n\n(Permission is hereby granted)" "\\1" velmar_license "${velmar_license}")
string(STRIP "${velmar_license}" velmar_license)
string(REGEX REPLACE "\n\n" "\n.\n" velmar_license "${velmar_license}")
string(REPLACE "\n" "\n " velmar_license "${velmar_license}")
file(CONFIGURE OUTPUT ${velmar_debian}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: VelmarDll
Upstream-Contact: ${velmar_maintainer}

Files: *
Copyright: ${velmar_copyright}
License: Expat
 ${velmar_license}
")
# The date is the build's (SOURCE_DATE_EPOCH when set, for a reproducible build).
string(TIMESTAMP velmar_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${velmar_debian}/changelog.Debian CONTENT
"velmardll (${velmar_version}) unstable; urgency=medium

  * VelmarDll ${PROJECT_VERSION}, packaged with CPack from its sources.
    What changed in the release is in changelog.gz beside this file.

 -- ${velmar_maintainer}  ${velmar_date}
")

# Per package: its name, its component and the Debian control files it adds
# (maintainer scripts, triggers) from contrib/debian/<role>.<file>.
set(velmar_packages
  "${velmar_lib_package}|deb_runtime|library|triggers"
  "libvelmardll-dev|deb_dev||"
  "velmar-dds|tools|tools|postinst,prerm,postrm"
  "python3-velmar-dds|python|python|postinst,prerm")
foreach(entry IN LISTS velmar_packages)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 package)
  list(GET entry 1 component)
  list(GET entry 2 role)
  list(GET entry 3 control_files)
  string(REPLACE "," ";" control_files "${control_files}")
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(doc share/doc/${package})
  install(FILES ${velmar_debian}/copyright ${velmar_debian}/changelog.Debian
    DESTINATION ${doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${doc} RENAME changelog
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(extra)
  foreach(control_file IN LISTS control_files)
    configure_file(${PROJECT_SOURCE_DIR}/contrib/debian/${role}.${control_file}
      ${velmar_debian}/${package}/${control_file} @ONLY)
    list(APPEND extra ${velmar_debian}/${package}/${control_file})
  endforeach()
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${extra})
  # Lintian's findings that do not apply, with the reasons: those of every
  # package, then those of this one.
  set(overrides)
  foreach(source lintian-overrides ${role}.lintian-overrides)
    set(source ${PROJECT_SOURCE_DIR}/contrib/debian/${source})
    if(EXISTS ${source})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
      file(READ ${source} text)
      string(APPEND overrides "${text}")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${velmar_debian}/${package}/lintian-overrides CONTENT "${overrides}" @ONLY)
  install(FILES ${velmar_debian}/${package}/lintian-overrides DESTINATION share/lintian/overrides
    RENAME ${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# ---- The packages -------------------------------------------------------------

# Each package's description starts with its synopsis; CPack would put
# CPACK_PACKAGE_DESCRIPTION_SUMMARY before it, so that is left unset.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmardll)
set(CPACK_PACKAGE_VENDOR "The VelmarDll developers")
set(CPACK_PACKAGE_CONTACT ${velmar_maintainer})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/contrib/debian/staging.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/contrib/debian/dbgsym.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL deb_runtime deb_dev tools python)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need the libraries of this very build, which no installed package
# provides yet: dpkg-shlibdeps finds them here, and the dependency on them is
# stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
# Programs built against the libraries work with any later 1.x.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The packages hold stripped programs and libraries; the debug information
# goes to <package>-dbgsym, found by build-id (/usr/lib/debug/.build-id), so
# that a crash of an installed program (a core of a SCPI server that ran for
# weeks) can be read with the symbols of that very build without rebuilding.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(velmar_exact "(= ${velmar_version})")
set(CPACK_DEBIAN_DEB_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEB_RUNTIME_DESCRIPTION "library to drive Velmar DDS signal generators
VelmarDll finds the Velmar direct digital synthesis (DDS) signal generators
attached to the host and drives them: output frequency, arbitrary waveforms of
up to 4096 samples, the frequency meter and event counter, single-wave and
trigger modes, the 16-bit digital ports and the output stored for power-on.

This package holds its two shared libraries, built from one core:
libVelmarDll.so.1, the fifteen DDS... functions with one control state for
the process, for programs written against them; and libvelmardds.so.1, the
session API, with a handle for each instrument, error codes and messages, for
new programs. On Linux an instrument is a socket in a device directory, served
by a USB bridge or by the simulated instrument of the velmar-dds package.")

set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_DEPENDS "${velmar_lib_package} ${velmar_exact}")
set(CPACK_DEBIAN_DEB_DEV_DESCRIPTION
  "development files for the Velmar DDS signal generator library
VelmarDll drives Velmar direct digital synthesis (DDS) signal generators.
This package holds what a program is built against: the headers VelmarDll.h
(the fifteen DDS... functions) and velmar/dds.h (the session API), the
pkg-config modules velmardll and velmardds, the CMake package VelmarDll with
the targets VelmarDll::VelmarDll and VelmarDll::velmardds, and their manual
pages in section 3.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${velmar_lib_package} ${velmar_exact}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "command-line tool, simulator and SCPI server for Velmar DDS generators
Programs around VelmarDll, the library that drives Velmar direct digital
synthesis (DDS) signal generators:
 * velmar-dds plans and plays frequencies with a wave shape or a wave read
   from a file, sweeps, reads the frequency meter and event counter, and
   drives the modes and the digital ports;
 * velmar-dds-sim serves simulated instruments, with faults on demand, to the
   tool and to any program that uses the library, so that they run without
   hardware;
 * velmar-dds-scpi serves each instrument as a SCPI raw-socket instrument on
   TCP port 5025 and up, for PyVISA, LabVIEW or lxi-tools.

The systemd unit velmar-dds-scpi.service is installed but not enabled.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${velmar_lib_package} (>= ${velmar_version})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-numpy, velmar-dds")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python 3 interface to Velmar DDS signal generators
The module velmar_dds drives Velmar direct digital synthesis (DDS) signal
generators from Python, through the session library of VelmarDll (ctypes,
no compiled code): each Generator is a session on one instrument; play()
plans a frequency and loads a wave, and says what frequency really plays;
failures raise exceptions that carry the library's own words. Waves are
computed as the velmar-dds tool computes them, with numpy when it is
installed.

velmar_dds.Simulator runs the simulated instruments of the velmar-dds
package, for tests of your own code without hardware.")

include(CPack)
