// DecodeRate: the decode-only speed of a compression method on the blocks
// an upload sends: liblzo2's safe LZO1B decompressor and liblzma's raw
// LZMA1 decoder, called the way the server calls them, on one thread, into
// one output buffer of the protocol's largest block. The ceiling of an
// upload of compressed blocks on this machine.
#pragma once

#include <string>

#include "upload_blocks.h"

namespace zv::bench {

// Decodes every block of the file once (in file order) and checks each
// output length; on success *seconds is the decoding time alone.
[[nodiscard]] bool MeasureDecode(const UploadBlocks& blocks, Method method, double* seconds,
                                 std::string* error);

}  // namespace zv::bench
