// Files that hold secrets (a private key, TLS session secrets): the ones
// made here are for their owner alone from the moment they exist, and a
// read tells whether anyone else may get at the file.
#pragma once

#include <cstddef>
#include <string>

#include "platform/file.h"

namespace platform {

// Reads the whole file (up to kMostPrivateFileBytes) into *contents, and
// tells in *open_to_others whether users besides its owner may read or
// write it (POSIX: a group or other read or write bit, of the file that was
// read; Windows keeps access in the folder's ACL and answers false). False
// with *error set when it cannot be read: ENOENT when it is missing, EFBIG
// when it is larger.
bool read_whole_file(const char* path, std::string* contents, bool* open_to_others, int* error);
inline constexpr std::size_t kMostPrivateFileBytes = 1 << 20;

// Creates a new file holding data, readable and writable by its owner alone
// (mode 0600 from its creation; on Windows it takes its folder's access
// rules). False with *error set when it cannot: EEXIST when the path exists
// already, which is left as it was; a file that could not be written whole
// is removed again.
bool create_private_file(const char* path, const char* data, std::size_t length, int* error);

// Opens the file for appending as open_for_append does, in binary mode, but
// a file it creates is its owner's alone (0600). An existing one keeps its
// mode.
FileHandle open_private_for_append(const char* path, int* error);

}  // namespace platform
