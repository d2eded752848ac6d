#pragma once
// An Intel HEX file given with --image, checked before any port is touched.
#include <string>

// Loads `path` into the block list with the built-in image's loader. False with `error` set
// when the file cannot be read, has a malformed record or a bad checksum, lacks its end-of-file
// record or has records after it, or loads no block at or above the first application address;
// `sha256` is the file's digest.
bool LoadImageFile(const std::string& path, std::string& sha256, std::string& error);
