# The Debian package, made by `cpack --preset mpich` or `--preset openmpi`,
# and the files it holds beside the programs, which `cmake --install`
# installs too; they need gzip, so Windows builds leave them out.
#
# The program is linked to one MPI, so each implementation gets a package of
# its own, named after the preset's suffix: trapezoid-mpich, trapezoid-openmpi.
if(NOT UNIX)
  return()
endif()
string(REPLACE "." "-" package_suffix "${MPI_EXECUTABLE_SUFFIX}")
set(package_name ${PROJECT_NAME}${package_suffix})
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package_name})
set(generated ${PROJECT_BINARY_DIR}/package)

set(CPACK_PACKAGE_CONTACT
    "The trapezoid developers <maintainers@users.noreply.c-seed-f4dce9dd.example>"
    CACHE STRING "Maintainer of the Debian package, for its control file and changelog")

# Debian wants man pages and the changelog compressed with gzip -9n, which
# leaves out the name and time stamp so that a rebuild gives the same bytes.
function(install_compressed source destination)
  get_filename_component(name ${source} NAME)
  add_custom_command(
    OUTPUT ${generated}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${generated}/${name}
    COMMAND gzip -9nf ${generated}/${name}
    DEPENDS ${source}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  add_custom_target(${name}.gz ALL DEPENDS ${generated}/${name}.gz)
  install(FILES ${generated}/${name}.gz DESTINATION ${destination})
endfunction()
install_compressed(man/trapezoid.1 ${CMAKE_INSTALL_MANDIR}/man1)
install_compressed(man/trapezoid-check.1 ${CMAKE_INSTALL_MANDIR}/man1)
configure_file(cmake/changelog.in changelog @ONLY)
install_compressed(${CMAKE_CURRENT_BINARY_DIR}/changelog ${doc_dir})

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
       "to process 0. trapezoid-check checks such a job's output.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the MPI library; the launcher is a package of its own.
if(package_suffix STREQUAL "-mpich")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS mpich)
elseif(package_suffix STREQUAL "-openmpi")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS openmpi-bin)
endif()
# Both packages ship /usr/bin/trapezoid.
set(CPACK_DEBIAN_PACKAGE_PROVIDES ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${PROJECT_NAME})
include(CPack)
