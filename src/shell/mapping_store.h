// The mappings file in the user's settings folder: read at start, written
// whole after every change of the table, never left half-written.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "model/mapping.h"

namespace lumesk::shell {

// LUMESK_CONFIG_DIR when set (tests, portable use); else %APPDATA%\Lumesk on
// Windows, $XDG_CONFIG_HOME/lumesk or ~/.config/lumesk elsewhere. UTF-8.
std::string settingsFolder();

// The points a write passes, in order; a stop at any of them leaves either
// the old file or the new one under the file's name.
enum class WriteStep { Created, HalfWritten, Written, Flushed, Replaced };

// Writes `text` to a new file beside `path`, flushes it to the disk and puts
// it in place of `path` in one step. `stopAt` (tests) returns true to stop
// at a step as a crash would, leaving everything as it is. Empty, or why not.
std::string replaceFile(const std::string& path, const std::string& text,
                        const std::function<bool(WriteStep)>& stopAt = {});

class MappingStore {
  public:
    explicit MappingStore(std::string folder);

    const std::string& file() const { return file_; }
    // Fills the table from the file; the log lines to show (what was
    // skipped and why). A missing file is an empty table, said nowhere.
    // `order` gets the mappings' numbers in the file's order.
    std::vector<std::string> load(model::MappingTable& table, std::vector<int>& order);
    // Writes the table, its mappings in `order`; a line for the log when it
    // cannot, once until a write succeeds again.
    std::string save(const model::MappingTable& table, const std::vector<int>& order = {});

  private:
    std::string folder_;
    std::string file_;
    std::string badFile_;  // a bad file read at start, kept aside before the first write
    bool failing_ = false;
};

}  // namespace lumesk::shell
