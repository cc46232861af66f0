// The help page the help items open. The program carries the page, so its
// help opens even where the file did not come along (a program started from
// inside its zip, which Explorer unpacks alone into a temporary folder).
#pragma once

#include <string>
#include <string_view>

namespace lumesk::shell {

// The page as the program carries it (docs/help.html at build time).
std::string_view helpPageText();

// The page's file in `folder`, as a UTF-8 path: written there from `text`
// when missing (or, with `refresh`, when it differs). Empty when it is
// missing and cannot be written.
std::string helpPageIn(const std::string& folder, std::string_view text, bool refresh);

// Beside the program first, where the zip puts it; where that folder cannot
// be written, a copy of our own in `fallbackFolder`, kept up to date.
std::string helpPageFile(const std::string& programFolder, const std::string& fallbackFolder,
                         std::string_view text);

}  // namespace lumesk::shell
