#pragma once

#include <string>
#include <vector>

// Packs data as a 32-bit little-endian length followed by an LZSS stream over a 4,096-byte ring.
// The length must fit in 32 bits; callers holding larger inputs have to reject them first.
std::vector<unsigned char> lzss_encode(const std::vector<unsigned char> &data);

// Unpacks what lzss_encode produced. Returns an empty string on success; otherwise the reason the
// input was rejected, and out is left empty.
std::string lzss_decode(const std::vector<unsigned char> &packed, std::vector<unsigned char> &out);
