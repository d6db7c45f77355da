// The list checker run on bytes in memory, for the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "tools/macgate/lists/list_check.h"

namespace macgate {

inline ListReport CheckListBytes(const void* data, size_t size) {
    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE* list =
        size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<void*>(data), size, "r");
    if (list == nullptr) {
        std::abort();
    }
    ListReport report;
    CheckListStream(list, &report);
    std::fclose(list);
    ReleaseList();
    return report;
}

}  // namespace macgate
