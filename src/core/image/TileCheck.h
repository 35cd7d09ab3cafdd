#pragma once
// A guard in front of CFITSIO's tile decompression. Its Rice decoder (4.2)
// looks for the end of a tile's byte stream only after each block of pixels,
// so a corrupt tile makes it read far past its buffer and crash; a gzip tile
// cut short makes it loop for ever; an HCOMPRESS tile whose stream names
// another size overruns the tile's buffer. Every Rice or gzip tile is
// therefore followed through its stream, bounds-checked, and every HCOMPRESS
// tile's size is compared, before the pixels are read.

#include <string>

#include <fitsio.h>

// For the open image HDU: an empty text when it is not Rice-, gzip- or
// HCOMPRESS-compressed or every tile passes, otherwise why not. A CFITSIO failure
// while reading the tiles leaves its status in *status (and an empty text).
std::string FindCorruptTile(fitsfile* file, int* status);

// CFITSIO 4.2 divides by the tile sizes and the Rice block size (ZVALn of
// ZNAMEn 'BLOCKSIZE') while it moves to a compressed image, so a 0 there, or
// text it reads as 0, crashes the move itself; so does a complex value
// "(...)" where it reads an integer (a message buffer overflows). The header that starts at byte
// headerStart of the file is therefore read as raw cards first: an empty
// text, or why the HDU cannot be entered.
std::string FindBadCompressionHeader(const std::string& path, LONGLONG headerStart);

// CFITSIO 4.2 aborts (a message buffer overflows) when it fails to turn a
// long value into an integer, so only values that read as a plain number
// ("30", "-1.5E+02", "'12'") are handed to its conversions.
bool IsPlainNumber(const char* value);
