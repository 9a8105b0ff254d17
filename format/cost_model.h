// The delta engines' estimate of what their pieces cost once Patch.dat is packed with bzip2.
#ifndef MENDSMITH_FORMAT_COST_MODEL_H
#define MENDSMITH_FORMAT_COST_MODEL_H

#include "format/bytes.h"

namespace mendsmith::format {

// Estimated bytes after bzip2 of the pieces of an op list, fitted on rebuilt programs and
// minified scripts: the offset of a copy op is the costly part, and a literal header, mostly
// zero bytes, packs to almost nothing.
struct CostModel {
    double copyOp = 3.0;    // the 9 bytes of a copy op
    double literalOp = 0.5; // the 5-byte header of a literal op
    double literalByte = 0.8;
};

// Literal bytes are the new parts of a file and pack somewhat worse than the file as a whole.
CostModel EstimateCosts(ByteView target);

} // namespace mendsmith::format

#endif
