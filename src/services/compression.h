// Raw DEFLATE, zlib and gzip over byte spans, each under a ceiling on the size of what it produces, and the
// recognition of a container by its signature. Every operation empties its output and error first, fills the
// output only when the whole operation succeeds and otherwise leaves exactly one message in the error. The
// output must not overlap the input; its memory is reused for the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class ContainerKind { Gzip, Zlib, Zip };

struct CompressionOptions {
  int32_t level = 6;                   // -1 (the library's default) to 10 (the strongest)
  uint64_t maxOutputSize = 134217728;  // bytes; a result exactly this long is allowed
};

std::optional<ContainerKind> detectContainer(std::string_view data);

// A raw DEFLATE stream, or a zlib stream when zlibWrapper is true.
bool deflateCompress(std::string_view data, std::string& output, bool zlibWrapper, const CompressionOptions& options,
                     std::string& error);
// The reverse of deflateCompress; the input must be exactly one stream.
bool inflateDecompress(std::string_view data, std::string& output, bool zlibWrapper, uint64_t maxOutputSize,
                       std::string& error);

// One gzip member (no name, no time stamp, OS unknown).
bool gzipCompress(std::string_view data, std::string& output, const CompressionOptions& options, std::string& error);
// One or more gzip members; their contents joined, the ceiling applying to the joined length.
bool gzipDecompress(std::string_view data, std::string& output, uint64_t maxOutputSize, std::string& error);
