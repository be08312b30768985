/* A stand-in for the header of MS-MPI's SDK, for the Windows row's tests:
 * the calls the program makes, as the MPI standard gives them, for a job of
 * one process. The handle values are this stand-in's own. */
#ifndef TRAPEZOID_STANDIN_MPI_H
#define TRAPEZOID_STANDIN_MPI_H

typedef int MPI_Comm;
typedef int MPI_Datatype;
typedef int MPI_Op;

#define MPI_SUCCESS 0
#define MPI_ERR_ARG 1
#define MPI_COMM_WORLD ((MPI_Comm)0x5701)
#define MPI_DOUBLE ((MPI_Datatype)0x5702)
#define MPI_SUM ((MPI_Op)0x5703)

#ifdef __cplusplus
extern "C" {
#endif

int MPI_Init(int* argc, char*** argv);
int MPI_Comm_rank(MPI_Comm comm, int* rank);
int MPI_Comm_size(MPI_Comm comm, int* size);
int MPI_Reduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype datatype, MPI_Op op,
               int root, MPI_Comm comm);
int MPI_Finalize(void);

#ifdef __cplusplus
}
#endif

#endif
