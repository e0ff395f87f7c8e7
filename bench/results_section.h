// A bench's own section of bench/RESULTS.md, between the lines
// "<!-- begin NAME -->" and "<!-- end NAME -->": replaced in place when the
// file has it, appended at the end otherwise, so kalmo_bench (which rewrites
// the top and keeps everything from "## Notes" on) and every other bench
// leave each other's figures alone.
#pragma once

#include <string>

// False (with a reason) when the file cannot be written.
bool write_results_section(const std::string &path, const std::string &name, const std::string &body,
                           std::string &error);
