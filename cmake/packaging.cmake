# The Debian package, made by `cpack --preset mpich` or `--preset openmpi`,
# and the files it holds beside the programs, which `cmake --install`
# installs too; they need gzip, so Windows builds leave them out.
#
# The program is linked to one MPI, so each Debian MPI gets a package of its
# own: trapezoid-mpich, trapezoid-openmpi.
if(NOT UNIX)
  return()
endif()
set(package_name ${PROJECT_NAME})
if(TRAPEZOID_MPI)
  set(package_name ${PROJECT_NAME}-${TRAPEZOID_MPI})
endif()
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package_name})
set(generated ${PROJECT_BINARY_DIR}/package)

# The project's own address; a site that builds its own packages puts its own.
set(CPACK_PACKAGE_CONTACT "The trapezoid maintainers <trapezoid@example.org>"
    CACHE STRING "Maintainer of the Debian package, for its control file and changelog")

# The man pages and the changelog carry the project's version; Debian wants
# them compressed with gzip -9n, which leaves out the name and time stamp so
# that a rebuild gives the same bytes.
function(install_compressed source name destination)
  configure_file(${source} ${generated}/${name} @ONLY)
  add_custom_command(OUTPUT ${generated}/${name}.gz COMMAND gzip -9nkf ${generated}/${name}
                     DEPENDS ${generated}/${name})
  add_custom_target(${name}.gz ALL DEPENDS ${generated}/${name}.gz)
  install(FILES ${generated}/${name}.gz DESTINATION ${destination})
endfunction()
foreach(page IN ITEMS trapezoid.1 trapezoid-check.1 trapezoid-sweep.1)
  install_compressed(man/${page} ${page} ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install_compressed(cmake/changelog.in changelog ${doc_dir})

# The copyright file, in Debian's machine-readable format, from LICENSE: its
# text indented by one space, with a lone dot for each empty line.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n+(.+)")
  message(FATAL_ERROR "LICENSE has no copyright line")
endif()
set(copyright_holder ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text "${license_text}")
file(WRITE ${generated}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${PROJECT_NAME}\n\n"
     "Files: *\nCopyright: ${copyright_holder}\nLicense: Expat\n ${license_text}\n")

install(FILES README.md ${generated}/copyright DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${package_name})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MPI trapezoid-rule integration, for bringing up MPI")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Each process of an MPI job sums its share of 100000 trapezoids of x^2 on\n"
       "[0, 1] and prints its partial sum. One MPI_Reduce brings the total, 1/3,\n"
       "to process 0. trapezoid-check checks such a job's output;\n"
       "trapezoid-sweep runs the job on every node and every pair of nodes of a\n"
       "cluster and names the node or the link that fails.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the MPI library; the launcher is a package of its own.
if(TRAPEZOID_MPI)
  mpi_row(${TRAPEZOID_MPI})
  set(CPACK_DEBIAN_PACKAGE_DEPENDS ${mpi_launcher})
endif()
# Both packages ship /usr/bin/trapezoid.
set(CPACK_DEBIAN_PACKAGE_PROVIDES ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${PROJECT_NAME})
include(CPack)
