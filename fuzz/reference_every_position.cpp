// The reference finder built again to try every position of the code, not only those its marks
// allow: reference_fuzz checks that both find the same fields. Its procedures take names of
// their own here, beside the core's.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/constants.h"
#include "core/references.h"

int FindPeReferencesAtEveryPosition(const unsigned char* file, uint32_t size, const PeLayout* layout,
                                    PeReferences* references);

#define REFERENCE_SCAN_EVERY_POSITION 1
#define ApplyPredictedBody EveryPositionApplyPredictedBody
#define ApplyPredictedBodyFrom EveryPositionApplyPredictedBodyFrom
#define BuildProjection EveryPositionBuildProjection
#define FindPeReferences FindPeReferencesAtEveryPosition
#define FindSectionNear EveryPositionFindSectionNear
#define FreeProjection EveryPositionFreeProjection
#define PredictOldFile EveryPositionPredictOldFile
#define Project EveryPositionProject
#define ReadPeLayout EveryPositionReadPeLayout
#define ReadPredictedBody EveryPositionReadPredictedBody
#define SortSections EveryPositionSortSections
// Called before its definition, which the header declares under the core's name.
int ApplyPredictedBodyFrom(const struct PatchPredictedBody* body, const unsigned char* old, uint32_t oldSize,
                           DiffReader read, void* source, DiffWriter write, void* context, uint32_t* counts);
#include "core/references.cpp"
