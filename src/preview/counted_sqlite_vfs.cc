#include "preview/counted_sqlite_vfs.h"

#include <sqlite3.h>

#include <cerrno>

#include "core/file_io.h"

namespace qs {

namespace {

sqlite3_vfs* g_real = nullptr;

// A file of ours, followed in the same allocation by the real layer's file.
struct CountedFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* real(sqlite3_file* file) {
  return reinterpret_cast<CountedFile*>(file)->real;
}

// The error SQLite would have seen had the call itself failed.
int failed(int io_error) {
  return errno == ENOSPC ? SQLITE_FULL : io_error;
}

int xClose(sqlite3_file* f) {
  return real(f)->pMethods->xClose(real(f));
}
int xRead(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset) {
  return real(f)->pMethods->xRead(real(f), out, amount, offset);
}
int xWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  if (file_io::injectedFailure()) return failed(SQLITE_IOERR_WRITE);
  return real(f)->pMethods->xWrite(real(f), data, amount, offset);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
  if (file_io::injectedFailure()) return failed(SQLITE_IOERR_TRUNCATE);
  return real(f)->pMethods->xTruncate(real(f), size);
}
int xSync(sqlite3_file* f, int flags) {
  if (file_io::injectedFailure()) return failed(SQLITE_IOERR_FSYNC);
  return real(f)->pMethods->xSync(real(f), flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
  return real(f)->pMethods->xFileSize(real(f), size);
}
int xLock(sqlite3_file* f, int lock) {
  return real(f)->pMethods->xLock(real(f), lock);
}
int xUnlock(sqlite3_file* f, int lock) {
  return real(f)->pMethods->xUnlock(real(f), lock);
}
int xCheckReservedLock(sqlite3_file* f, int* out) {
  return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
  return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int xSectorSize(sqlite3_file* f) {
  return real(f)->pMethods->xSectorSize(real(f));
}
int xDeviceCharacteristics(sqlite3_file* f) {
  return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) {
  real(f)->pMethods->xShmBarrier(real(f));
}
int xShmUnmap(sqlite3_file* f, int remove) {
  return real(f)->pMethods->xShmUnmap(real(f), remove);
}
int xFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
  return real(f)->pMethods->xFetch(real(f), offset, amount, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
  return real(f)->pMethods->xUnfetch(real(f), offset, page);
}

const sqlite3_io_methods kMethods = {3,
                                     xClose,
                                     xRead,
                                     xWrite,
                                     xTruncate,
                                     xSync,
                                     xFileSize,
                                     xLock,
                                     xUnlock,
                                     xCheckReservedLock,
                                     xFileControl,
                                     xSectorSize,
                                     xDeviceCharacteristics,
                                     xShmMap,
                                     xShmLock,
                                     xShmBarrier,
                                     xShmUnmap,
                                     xFetch,
                                     xUnfetch};

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  auto* counted = reinterpret_cast<CountedFile*>(file);
  counted->base.pMethods = nullptr;
  counted->real = reinterpret_cast<sqlite3_file*>(counted + 1);
  counted->real->pMethods = nullptr;
  if (file_io::injectedFailure()) return SQLITE_CANTOPEN;
  const int rc = g_real->xOpen(g_real, name, counted->real, flags, out_flags);
  // The real file's methods are used through ours; SQLite closes a file whose methods are set
  // even when its open failed.
  if (counted->real->pMethods) {
    if (counted->real->pMethods->iVersion < 3) {
      counted->real->pMethods->xClose(counted->real);
      return SQLITE_CANTOPEN;
    }
    counted->base.pMethods = &kMethods;
  }
  return rc;
}

int xDelete(sqlite3_vfs*, const char* name, int sync_folder) {
  return g_real->xDelete(g_real, name, sync_folder);
}
int xAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_real->xAccess(g_real, name, flags, out);
}
int xFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return g_real->xFullPathname(g_real, name, size, out);
}
void* xDlOpen(sqlite3_vfs*, const char* name) {
  return g_real->xDlOpen(g_real, name);
}
void xDlError(sqlite3_vfs*, int size, char* out) {
  g_real->xDlError(g_real, size, out);
}
void (*xDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return g_real->xDlSym(g_real, handle, symbol);
}
void xDlClose(sqlite3_vfs*, void* handle) {
  g_real->xDlClose(g_real, handle);
}
int xRandomness(sqlite3_vfs*, int size, char* out) {
  return g_real->xRandomness(g_real, size, out);
}
int xSleep(sqlite3_vfs*, int microseconds) {
  return g_real->xSleep(g_real, microseconds);
}
int xCurrentTime(sqlite3_vfs*, double* out) {
  return g_real->xCurrentTime(g_real, out);
}
int xGetLastError(sqlite3_vfs*, int size, char* out) {
  return g_real->xGetLastError(g_real, size, out);
}
int xCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return g_real->xCurrentTimeInt64(g_real, out);
}

}  // namespace

const char* countedSQLiteVFS() {
  static const char* const name = [] {
    static sqlite3_vfs vfs{};
    g_real = sqlite3_vfs_find(nullptr);
    if (!g_real || g_real->iVersion < 2) return static_cast<const char*>(nullptr);
    vfs.iVersion = 2;
    vfs.szOsFile = static_cast<int>(sizeof(CountedFile)) + g_real->szOsFile;
    vfs.mxPathname = g_real->mxPathname;
    vfs.zName = "quillstone-counted";
    vfs.xOpen = xOpen;
    vfs.xDelete = xDelete;
    vfs.xAccess = xAccess;
    vfs.xFullPathname = xFullPathname;
    vfs.xDlOpen = xDlOpen;
    vfs.xDlError = xDlError;
    vfs.xDlSym = xDlSym;
    vfs.xDlClose = xDlClose;
    vfs.xRandomness = xRandomness;
    vfs.xSleep = xSleep;
    vfs.xCurrentTime = xCurrentTime;
    vfs.xGetLastError = xGetLastError;
    vfs.xCurrentTimeInt64 = xCurrentTimeInt64;
    if (sqlite3_vfs_register(&vfs, 0) != SQLITE_OK) return static_cast<const char*>(nullptr);
    return vfs.zName;
  }();
  // Null is SQLite's own default layer.
  return name;
}

}  // namespace qs
