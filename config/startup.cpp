#include "config/startup.h"

namespace macgate {

void InitializeFilter() {}  // TODO

void StartFilter(const char*, const char*, const char*) {}  // TODO

}  // namespace macgate
