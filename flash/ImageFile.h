#pragma once
// An Intel HEX file given with --image or --check-image, checked before any port is touched.
#include <cstdint>
#include <string>

// What a checked file holds, as --check-image shows it.
struct ImageFileFacts {
    int Records = 0, DataBytes = 0, Blocks = 0;
    int OutsideBytes = 0; // data below the board's application area, never sent
    int StartRecords = 0; // start addresses (types 03, 05): the board has no use

    uint32_t Lowest = 0, Highest = 0; // addresses of the first and the last data byte
    std::string Sha256;               // of the file's bytes
};

// Checks `path` record by record and loads it into the block list with the built-in image's
// loader. False with `error` set (naming the line and what is wrong with it) when the file
// cannot be read, is a folder, is no Intel HEX text (empty, binary, a byte order mark), has a
// malformed record, a bad checksum or an unknown or unsupported record type (02), data beyond
// 0xFFFF or over data of another line, lacks its end-of-file record or has records after it,
// or loads no block at or above the first application address.
bool LoadImageFile(const std::string& path, ImageFileFacts& facts, std::string& error);

// The facts of a loaded file as --check-image prints them: records, address range, what
// would be sent (blocks, bytes on the wire, time at 19200 baud) and the digest.
std::string DescribeImageFile(const std::string& path, const ImageFileFacts& facts);
