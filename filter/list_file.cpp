#include "filter/list_file.h"

namespace macgate {

void LoadAddressList(FILE*) {}  // TODO

}  // namespace macgate
