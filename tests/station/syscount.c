/* Counts, per process, the calls a test wants to know about: store
 * connections opened (sqlite3_open_v2 of a file whose path contains
 * $NVT_SYSCOUNT_MATCH, when set; PQconnectdbParams) and syncs (fsync,
 * fdatasync). Loaded with LD_PRELOAD into station processes; at exit each
 * process writes "opens N\nsyncs N\n" to $NVT_SYSCOUNT_DIR/<pid>. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned long gOpens;
static unsigned long gSyncs;

static void* Next(const char* aName)
{
    return dlsym(RTLD_NEXT, aName);
}

int sqlite3_open_v2(const char* aFile, void** aDb, int aFlags, const char* aVfs)
{
    static int (*next)(const char*, void**, int, const char*);
    if (next == NULL) next = (int (*)(const char*, void**, int, const char*))Next("sqlite3_open_v2");
    const char* match = getenv("NVT_SYSCOUNT_MATCH");
    if (match == NULL || (aFile != NULL && strstr(aFile, match) != NULL)) __atomic_add_fetch(&gOpens, 1, __ATOMIC_RELAXED);
    return next(aFile, aDb, aFlags, aVfs);
}

void* PQconnectdbParams(const char* const* aKeys, const char* const* aValues, int aExpand)
{
    static void* (*next)(const char* const*, const char* const*, int);
    if (next == NULL) next = (void* (*)(const char* const*, const char* const*, int))Next("PQconnectdbParams");
    __atomic_add_fetch(&gOpens, 1, __ATOMIC_RELAXED);
    return next(aKeys, aValues, aExpand);
}

int fsync(int aFd)
{
    static int (*next)(int);
    if (next == NULL) next = (int (*)(int))Next("fsync");
    __atomic_add_fetch(&gSyncs, 1, __ATOMIC_RELAXED);
    return next(aFd);
}

int fdatasync(int aFd)
{
    static int (*next)(int);
    if (next == NULL) next = (int (*)(int))Next("fdatasync");
    __atomic_add_fetch(&gSyncs, 1, __ATOMIC_RELAXED);
    return next(aFd);
}

__attribute__((destructor)) static void Report(void)
{
    const char* dir = getenv("NVT_SYSCOUNT_DIR");
    if (dir == NULL) return;
    char path[4096];
    snprintf(path, sizeof path, "%s/%ld", dir, (long)getpid());
    FILE* f = fopen(path, "w");
    if (f == NULL) return;
    fprintf(f, "opens %lu\nsyncs %lu\n", gOpens, gSyncs);
    fclose(f);
}
