#include "config/state.h"

#include <cstring>

#include "filter/address_set.h"
#include "platform/platform.h"

namespace macgate {

AddressNode* AddressSet = nullptr;
unsigned char FilterAction = 0;
FILE* ErrorLog = nullptr;
FILE* InfoLog = nullptr;
int32_t InfoLogEnabled = 0;
char InfoLogPath[kPathBufferSize] = {};
char ActionWord[kActionWordSize] = {};
int32_t LineNumber = 0;
std::mutex InfoLogLock;

void ResetStateForTesting() {
    std::lock_guard<std::mutex> guard(InfoLogLock);
    if (ErrorLog != nullptr) {
        Platform.CloseFile(ErrorLog);
        ErrorLog = nullptr;
    }
    if (InfoLog != nullptr) {
        Platform.CloseFile(InfoLog);
        InfoLog = nullptr;
    }
    AddressSet = AddressSetFree(AddressSet);
    FilterAction = 0;
    InfoLogEnabled = 0;
    std::memset(InfoLogPath, 0, sizeof InfoLogPath);
    std::memset(ActionWord, 0, sizeof ActionWord);
    LineNumber = 0;
}

}  // namespace macgate
