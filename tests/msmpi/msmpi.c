/* The stand-in's msmpi.dll: a job of one process. MPI_Reduce records what
 * the process sends as tests/probe.cpp does on Linux, so that
 * tests/probe.sh judges both by the same values. */
#define __USE_MINGW_ANSI_STDIO 1 /* %a as glibc prints it */
#include <mpi.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int calls;

/* Straight to the handle, past the C runtime's text mode, so that a record
 * ends LF as on Linux. */
static void record(const char* line) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, (DWORD)strlen(line), &written, NULL);
}

int MPI_Init(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  return MPI_SUCCESS;
}

int MPI_Comm_rank(MPI_Comm comm, int* rank) {
  *rank = 0;
  return comm == MPI_COMM_WORLD ? MPI_SUCCESS : MPI_ERR_ARG;
}

int MPI_Comm_size(MPI_Comm comm, int* size) {
  *size = 1;
  return comm == MPI_COMM_WORLD ? MPI_SUCCESS : MPI_ERR_ARG;
}

int MPI_Reduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype datatype, MPI_Op op,
               int root, MPI_Comm comm) {
  /* Only what the program asks for: one double, summed to rank 0. */
  const int known =
      count == 1 && datatype == MPI_DOUBLE && op == MPI_SUM && root == 0 && comm == MPI_COMM_WORLD;
  double send = 0.0;
  char line[256];
  if (known) {
    memcpy(&send, sendbuf, sizeof send);
  }
  snprintf(line, sizeof line,
           "probe rank=0 call=%d count=%d datatype=%s op=%s root=%d comm=%s send=%a\n", ++calls,
           count, datatype == MPI_DOUBLE ? "MPI_DOUBLE" : "other",
           op == MPI_SUM ? "MPI_SUM" : "other", root,
           comm == MPI_COMM_WORLD ? "MPI_COMM_WORLD" : "other", send);
  record(line);
  if (!known) {
    return MPI_ERR_ARG;
  }
  /* The sum over a job of one process is what it sends. */
  memcpy(recvbuf, &send, sizeof send);
  snprintf(line, sizeof line, "probe rank=0 total=%a\n", send);
  record(line);
  return MPI_SUCCESS;
}

int MPI_Finalize(void) { return MPI_SUCCESS; }
