// Checks every tour the makepano tests make: the XML is well-formed (xmllint), every url of the
// XML and of the page names a file that exists, every tile has the size its level gives, and
// the tile folders hold nothing the XML does not list.
#pragma once

#include <set>
#include <string>

namespace qv_test {

// Every file below a folder, absolute; empty when the folder does not exist.
std::set<std::string> files_below(const std::string& folder);

// Walks every level and url of an XML file: each tile must exist with the size its level gives.
// Returns the tile files (absolute).
std::set<std::string> check_tiles(const std::string& xml_path);

// The whole check of one tour: the XML (and the page, when page_path is not empty).
void expect_sound_tour(const std::string& xml_path, const std::string& page_path);

}  // namespace qv_test
