# Which MPI the build uses, found as FindMPI finds it and checked for a
# launcher that matches its library; what the scripts and tests need to know
# of it goes into mpi.env in the build folder.

# mpi_row(MPI): the row of cmake/mpis.txt for MPI, as mpi_suffix, mpi_dev,
# mpi_launcher, mpi_pmi and mpi_slurm; all empty for an MPI it does not list.
function(mpi_row mpi)
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/mpis.txt rows REGEX "^${mpi} ")
  set(fields "" "" "" "" "")
  if(rows)
    string(REGEX REPLACE " +" ";" fields "${rows}")
    list(REMOVE_AT fields 0)
  endif()
  foreach(name IN ITEMS suffix dev launcher pmi slurm)
    list(POP_FRONT fields value)
    set(mpi_${name} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()

# A preset names the MPI; on Debian, where both install side by side, its
# suffix keeps the launcher and the library from two different MPIs.
set(TRAPEZOID_MPI "" CACHE STRING "The Debian MPI to build with (cmake/mpis.txt); empty: the one on PATH")
if(TRAPEZOID_MPI)
  mpi_row(${TRAPEZOID_MPI})
  if(NOT mpi_suffix)
    message(FATAL_ERROR "TRAPEZOID_MPI is '${TRAPEZOID_MPI}', which cmake/mpis.txt does not list")
  endif()
  set(MPI_EXECUTABLE_SUFFIX ${mpi_suffix})
endif()

# The deprecated C++ bindings stay out; the program uses the C API.
set(MPI_CXX_SKIP_MPICXX ON CACHE BOOL "Leave out the MPI-2 C++ bindings")
# Which MPI it is decides the PMI and the remote launch; asking runs a
# program, which a cross build cannot.
if(NOT CMAKE_CROSSCOMPILING)
  set(MPI_DETERMINE_LIBRARY_VERSION ON)
endif()
find_package(MPI REQUIRED COMPONENTS CXX)

# A suffix that does not reach the launcher would pair one MPI's mpiexec
# with the other's library, and every process would run as a job of its own.
if(MPI_EXECUTABLE_SUFFIX)
  get_filename_component(launcher_name "${MPIEXEC_EXECUTABLE}" NAME)
  if(NOT launcher_name MATCHES "${MPI_EXECUTABLE_SUFFIX}$")
    message(FATAL_ERROR "MPI_EXECUTABLE_SUFFIX is ${MPI_EXECUTABLE_SUFFIX}, "
                        "but the launcher found is ${MPIEXEC_EXECUTABLE}")
  endif()
endif()

# mpi_identify(OUT TEXT): mpich or openmpi from a library's or a launcher's
# account of itself, empty for any other MPI; OUT_name says it with its version.
function(mpi_identify out_var text)
  set(mpi "")
  set(name "an unknown MPI")
  if(text MATCHES "MPICH|HYDRA")
    set(mpi mpich)
    set(name MPICH)
  elseif(text MATCHES "Open MPI|OpenRTE")
    set(mpi openmpi)
    set(name "Open MPI")
  endif()
  string(REGEX MATCH "[0-9]+\\.[0-9]+(\\.[0-9]+)?" version "${text}")
  set(${out_var} ${mpi} PARENT_SCOPE)
  set(${out_var}_name "${name} ${version}" PARENT_SCOPE)
endfunction()

mpi_identify(library "${MPI_CXX_LIBRARY_VERSION_STRING}")
# Whatever is first on PATH, say from a module, may pair one MPI's mpicxx
# with another's mpiexec; the suffix check above cannot see that. Windows'
# launcher is none of these, and a cross build finds this machine's.
if(MPIEXEC_EXECUTABLE AND NOT WIN32)
  execute_process(COMMAND ${MPIEXEC_EXECUTABLE} --version OUTPUT_VARIABLE version
                  ERROR_VARIABLE version TIMEOUT 20 INPUT_FILE /dev/null)
  mpi_identify(launcher "${version}")
  if(library AND launcher AND NOT library STREQUAL launcher)
    message(FATAL_ERROR "The MPI library of ${MPI_CXX_COMPILER} is ${library_name}, "
                        "but the launcher ${MPIEXEC_EXECUTABLE} is ${launcher_name}: put one "
                        "MPI's mpicxx and mpiexec first on PATH")
  endif()
  message(STATUS "MPI launcher: ${MPIEXEC_EXECUTABLE} (${library_name})")
endif()

# The PMI belongs to the MPI the library is, whatever put it on PATH.
mpi_row("${library}")
set(TRAPEZOID_PMI ${mpi_pmi})
# How the MPI's own launcher starts processes on other hosts: a line of its
# hostfile, and its flags, word by word, with {host}, {slots}, {rsh} (the
# remote shell) and {hostfile} filled in. Inside a Slurm allocation it finds
# the nodes itself and starts its daemons through srun; its flags there put
# {slots} processes on each of {hosts} (HOST:SLOTS,...). Open MPI must be
# let oversubscribe: salloc -N K gives a node one CPU, and 4.1 refuses more
# processes ("not enough slots"); 5.0 then puts them all on the first host
# unless told how many a node.
set(remote_host_line "")
set(remote_flags "")
set(allocation_flags "")
if(library STREQUAL mpich)
  set(remote_host_line "{host}:{slots}")
  set(remote_flags "-launcher rsh -launcher-exec {rsh} -f {hostfile}")
  set(allocation_flags "-hosts {hosts}")
elseif(library STREQUAL openmpi)
  set(remote_host_line "{host} slots={slots}")
  set(remote_flags "--mca plm_rsh_agent {rsh} --hostfile {hostfile}")
  set(allocation_flags "--host {hosts} --map-by ppr:{slots}:node:OVERSUBSCRIBE")
endif()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/mpi.env CONTENT [[
# The MPI of this build, for the scripts and tests: KEY=VALUE, read as text.
TRAPEZOID_MPI=@library@
TRAPEZOID_MPI_NAME=@library_name@
TRAPEZOID_MPIEXEC=@MPIEXEC_EXECUTABLE@
TRAPEZOID_NUMPROC_FLAG=@MPIEXEC_NUMPROC_FLAG@
TRAPEZOID_PMI=@TRAPEZOID_PMI@
TRAPEZOID_SLURM_LAUNCH=@mpi_slurm@
TRAPEZOID_ALLOCATION_FLAGS=@allocation_flags@
TRAPEZOID_HOST_LINE=@remote_host_line@
TRAPEZOID_REMOTE_FLAGS=@remote_flags@
]] @ONLY)
