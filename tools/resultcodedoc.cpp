// resultcodedoc: writes the driver's result-code table where page authors
// read it, so that one table stays the only source.
//   resultcodedoc --write FILE...   replace the marked section of each file
//   resultcodedoc --check FILE...   exit 1 when a section is out of date
// A .md file gets Markdown tables, a .mjs file JavaScript arrays; the
// section lies between a line holding "BEGIN result codes" and one holding
// "END result codes", both kept.

#include "resultcodes.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kBegin[] = "BEGIN result codes";
constexpr char kEnd[] = "END result codes";

// The driver's constants are kName; pages know them as Name.
std::string pageName(const char *name)
{
    return name[0] == 'k' ? name + 1 : name;
}

std::string jsString(const char *text)
{
    std::string out = "\"";
    for (const char *c = text; *c; ++c) {
        if (*c == '"' || *c == '\\')
            out += '\\';
        out += *c;
    }
    return out + "\"";
}

std::string cell(const char *text)
{
    std::string out;
    for (const char *c = text; *c; ++c) {
        if (*c == '|')
            out += '\\';
        out += *c;
    }
    return out;
}

std::string rangeText(const luvaro::ResultRange &range)
{
    if (range.highest == INT_MAX)
        return std::to_string(range.lowest) + " and above";
    if (range.lowest == INT_MIN)
        return std::to_string(range.highest) + " and below";
    return std::to_string(range.lowest) + " to " + std::to_string(range.highest) + ", outside the table";
}

std::string markdown()
{
    std::ostringstream out;
    out << "\n| Code | Name | Meaning | 含义 | What the page does |\n|---:|---|---|---|---|\n";
    for (const luvaro::ResultCode &row : luvaro::kResultCodes)
        out << "| " << row.code << " | `" << pageName(row.name) << "` | " << cell(row.meaning) << " | "
            << cell(row.meaningZh) << " | " << cell(row.advice) << " |\n";
    out << "\nNumbers outside the table, by their range:\n\n"
           "| Codes | Name | Meaning | 含义 | What the page does |\n|---|---|---|---|---|\n";
    for (const luvaro::ResultRange &range : luvaro::kResultRanges)
        out << "| " << rangeText(range) << " | `" << range.name << "` | " << cell(range.meaning) << " | "
            << cell(range.meaningZh) << " | " << cell(range.advice) << " |\n";
    out << "\n";
    return out.str();
}

std::string javascript()
{
    std::ostringstream out;
    out << "export const RESULT_CODES = [\n";
    for (const luvaro::ResultCode &row : luvaro::kResultCodes)
        out << "  { code: " << row.code << ", name: " << jsString(pageName(row.name).c_str())
            << ",\n    meaning: " << jsString(row.meaning) << ",\n    meaningZh: " << jsString(row.meaningZh)
            << ",\n    advice: " << jsString(row.advice) << " },\n";
    out << "];\nexport const RESULT_RANGES = [\n";
    for (const luvaro::ResultRange &range : luvaro::kResultRanges)
        out << "  { lowest: " << range.lowest << ", highest: " << range.highest << ", name: " << jsString(range.name)
            << ",\n    meaning: " << jsString(range.meaning) << ",\n    meaningZh: " << jsString(range.meaningZh)
            << ",\n    advice: " << jsString(range.advice) << " },\n";
    out << "];\n";
    return out.str();
}

bool endsWith(const std::string &text, const char *suffix)
{
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The file's text with its section rewritten; false when it has no section.
bool rewritten(const std::string &path, const std::string &text, std::string &out)
{
    const std::size_t begin = text.find(kBegin);
    const std::size_t end = text.find(kEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        return false;
    const std::size_t bodyStart = text.find('\n', begin);
    const std::size_t bodyEnd = text.rfind('\n', end);
    if (bodyStart == std::string::npos || bodyEnd < bodyStart)
        return false;
    out = text.substr(0, bodyStart + 1) + (endsWith(path, ".md") ? markdown() : javascript())
          + text.substr(bodyEnd + 1);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool check = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    if (argc < 3 || (!check && std::strcmp(argv[1], "--write") != 0)) {
        std::fprintf(stderr, "usage: %s --write|--check FILE...\n", argv[0]);
        return 2;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string path = argv[i];
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string out;
        if (!in || !rewritten(path, text.str(), out)) {
            std::fprintf(stderr, "%s: no section between \"%s\" and \"%s\"\n", path.c_str(), kBegin, kEnd);
            return 2;
        }
        if (out == text.str())
            continue;
        if (check) {
            std::fprintf(stderr, "%s: the result codes are out of date; run cmake --build build --target result_code_docs\n", path.c_str());
            status = 1;
        } else {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << out;
            std::printf("wrote the result codes into %s\n", path.c_str());
        }
    }
    return status;
}
