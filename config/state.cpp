#include "config/state.h"

namespace macgate {

std::atomic<LoadedList*> ListInUse{nullptr};
FILE* ErrorLog = nullptr;
FILE* InfoLog = nullptr;
int32_t InfoLogEnabled = 0;
char InfoLogPath[kPathBufferSize] = {};
std::mutex InfoLogLock;

}  // namespace macgate
