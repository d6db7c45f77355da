#include "config/startup.h"

namespace macgate {

void InitializeFilter() {}  // TODO

}  // namespace macgate
