#pragma once

#include "io/stream.h"
#include "mdf/block.h"
#include "mdf/file_blocks.h"

namespace quarrow {

// An opened MDF 4 file: the whole block tree is in memory; measurement data
// stays in the stream and is read through the data blocks' views.
struct MdfFile {
  ByteStream* stream = nullptr;  // borrowed; the caller closes it
  BlockRef id;                   // the IdBlock; its id_hd is the HdBlock
};

// Loads the identification block, the header block and everything below it,
// and repairs the length of the last data block of an unfinalised file.
// Returns null for a null stream and for every unreadable or unsupported
// file (the caller logs "Could not open MDF"); when a block that only
// other_writers reads is what made it unsupported, *foreign (if given) names
// it ("##DL"), else it is set to null. other_writers: see BlockLoader. The
// stream must stay open as long as the MdfFile is used.
MdfFile* mdf_open(ByteStream* stream, bool other_writers = false, const char** foreign = nullptr);

// Releases the block tree and the record; the stream is not closed.
void mdf_close(MdfFile* file);

// The identification and header blocks; null when absent.
IdBlock* mdf_id_block(const MdfFile* file);
HdBlock* mdf_hd_block(const MdfFile* file);

}  // namespace quarrow
