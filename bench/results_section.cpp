// Replacing or appending one delimited section; see results_section.h.
#include "results_section.h"

#include <fstream>
#include <sstream>

bool write_results_section(const std::string &path, const std::string &name, const std::string &body,
                           std::string &error) {
    std::string text;
    {
        std::ifstream old(path, std::ios::binary);
        std::stringstream contents;
        contents << old.rdbuf();
        text = contents.str();
    }
    const std::string begin = "<!-- begin " + name + " -->\n", end = "<!-- end " + name + " -->\n";
    std::string section = begin + body + (body.empty() || body.back() == '\n' ? "" : "\n") + end;
    size_t from = text.find(begin), to = from == std::string::npos ? from : text.find(end, from);
    if (from != std::string::npos && to != std::string::npos) {
        text.replace(from, to + end.size() - from, section);
    } else {
        if (!text.empty() && text.back() != '\n') text += '\n';
        text += (text.empty() ? "" : "\n") + section;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
