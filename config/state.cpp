#include "config/state.h"

#include <cstring>

#include "config/startup.h"

namespace macgate {

AddressNode* AddressSet = nullptr;
uint16_t PrefixLengths = 0;
AddressBlock* AddressBlocks = nullptr;
unsigned char FilterAction = 0;
FILE* ErrorLog = nullptr;
FILE* InfoLog = nullptr;
int32_t InfoLogEnabled = 0;
char InfoLogPath[kPathBufferSize] = {};
char ActionWord[kActionWordSize] = {};
int32_t LineNumber = 0;
std::mutex InfoLogLock;

void ResetStateForTesting() {
    StopFilter();
    std::memset(ActionWord, 0, sizeof ActionWord);
    LineNumber = 0;
}

}  // namespace macgate
