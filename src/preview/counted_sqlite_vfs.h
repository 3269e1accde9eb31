// The SQLite files the program writes (the search index) go through a thin layer over SQLite's
// own file layer that counts each open, write, truncation and sync with core/file_io, so that a
// test can make any one of them fail (ENOSPC as a full disk, others as an I/O error) the way it
// does for every other file the program writes. It changes nothing else.
//
// Callable from any thread.
#pragma once

namespace qs {

// The name to give sqlite3_open_v2 as its VFS; registered on first use.
const char* countedSQLiteVFS();

}  // namespace qs
