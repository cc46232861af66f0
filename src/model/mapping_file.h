// The mappings as kept between runs: one JSON document with a format
// version, every mapping with its number and every field the editor sets.
#pragma once

#include <string>
#include <vector>

#include "model/mapping.h"

namespace lumesk::model {

constexpr int kMappingFileVersion = 1;

// The table's defined mappings in `order` (the tree's, by number); any
// defined mapping missing from it follows in number order.
std::string mappingFileText(const MappingTable& table, const std::vector<int>& order = {});

struct MappingFileRead {
    // Mappings as the editor would have accepted them, with their numbers,
    // in the file's order.
    std::vector<std::pair<int, MappingRecord>> mappings;
    // What was left out and why, a line each for the message log.
    std::vector<std::string> skipped;
    // Anything at all was wrong: the file is kept aside before it is
    // written over.
    bool bad = false;
};

MappingFileRead readMappingFile(const std::string& text);

}  // namespace lumesk::model
