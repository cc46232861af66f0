#include "model/mapping.h"

namespace lumesk::model {

int MappingTable::firstFree() const {
    for (int n = 1; n <= kMappingCount; ++n) {
        if (at(n).name.empty()) return n;
    }
    return 0;
}

}  // namespace lumesk::model
