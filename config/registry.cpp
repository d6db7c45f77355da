#include "config/registry.h"

namespace macgate {

char* ReadParameterPath(int) {
    return nullptr;  // TODO
}

}  // namespace macgate
