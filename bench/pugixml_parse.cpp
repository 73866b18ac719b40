// The anchor of the load rows: pugixml's own parse of a document, with nothing of Python around it.
//
//   pugixml_parse FILE REPEAT
//
// Reads FILE (UTF-8) once, then parses it REPEAT times as Document.load_string hands a text to
// pugixml (a NUL-terminated UTF-8 string, default options) and prints the best and median times in
// milliseconds as one JSON object. The document of each repetition is released outside the clock.
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE REPEAT\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int repeat = std::max(1, std::atoi(argv[2]));
    std::vector<double> times;
    for (int i = 0; i < repeat; ++i) {
        auto document = std::make_unique<pugi::xml_document>();
        auto start = std::chrono::steady_clock::now();
        pugi::xml_parse_result result = document->load_string(text.c_str(), pugi::parse_default);
        auto stop = std::chrono::steady_clock::now();
        if (!result) {
            std::fprintf(stderr, "parse error: %s\n", result.description());
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("{\"best\": %.4f, \"median\": %.4f}\n", times.front(), times[times.size() / 2]);
    return 0;
}
