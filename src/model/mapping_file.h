// The mappings as kept between runs: one JSON document with a format
// version, every mapping with its number and every field the editor sets.
#pragma once

#include <string>
#include <vector>

#include "model/mapping.h"

namespace lumesk::model {

constexpr int kMappingFileVersion = 1;

// The table's defined mappings, in number order.
std::string mappingFileText(const MappingTable& table);

struct MappingFileRead {
    // Mappings as the editor would have accepted them, with their numbers.
    std::vector<std::pair<int, MappingRecord>> mappings;
    // What was left out and why, a line each for the message log.
    std::vector<std::string> skipped;
    // Anything at all was wrong: the file is kept aside before it is
    // written over.
    bool bad = false;
};

MappingFileRead readMappingFile(const std::string& text);

}  // namespace lumesk::model
