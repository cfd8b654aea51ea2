// Fuzz target: the parameter files. The settings are read from a PARAM file of the data
// directory; each tag is looked up by path; then one line is rewritten and the file is
// compared byte for byte with what the rewrite promises.
//
// Input: parts cut at lines "====":
//   0  the PARAM file;
//   1  the rewrite: its first line is the tag (its first five bytes) then the value;
//      the first byte after the line, modulo 3, chooses the width (10, 40 or 60).
//
// Lines of a parameter file end at LF; a line is read 254 bytes at most, the rest of a
// longer line is skipped; a NUL ends a line's text, not the line.
#include <string.h>
#include <unistd.h>

#include <string>

#include "boxtest.h"
#include "file_param.h"
#include "fuzzsupport.h"

static const char *const tags[] = {"#001#", "#002#", "#003#", "#005#", "#020#", "#028#",
                                   "#029#", "#030#", "#031#", "#032#", "#100#", "#101#",
                                   "#102#"};

// What a lookup of `tag` gives: the text after the tag on the first line that begins
// with it, up to CR or LF; "" when no line does.
static std::string lookup(const std::string &file, const std::string &tag) {
    for (const std::string &line : fuzz::lines_read(file, SIZE_PARAM_LINE - 1))
        if (line.compare(0, tag.size(), tag) == 0) {
            std::string v = line.substr(tag.size());
            return v.substr(0, v.find_first_of("\r\n"));
        }
    return "";
}

// What the rewrite makes of a file: the first line that begins with prefix (at a line
// start) and its LF replaced by `line`, or `line` appended on a line of its own.
static std::string rewritten(const std::string &file, const std::string &prefix,
                             const std::string &line) {
    for (size_t at = 0; at < file.size();) {
        size_t lf = file.find('\n', at);
        size_t end = lf == std::string::npos ? file.size() : lf + 1;
        if (file.compare(at, prefix.size(), prefix) == 0 && at + prefix.size() <= end)
            return file.substr(0, at) + line + file.substr(end);
        at = end;
    }
    std::string out = file;
    if (!out.empty() && out.back() != '\n') out += '\n';
    return out + line;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    fuzz::mkdirs(fuzz::root("/home/KELDRAN/DATA"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto p = fuzz::parts(data, size, 2);
    const std::string path = fuzz::root("/home/KELDRAN/DATA/PARAM_VARN.txt");
    fuzz::put(path, p[0]);
    unlink(fuzz::root("/home/KELDRAN/DATA/BTP1").c_str());

    // the settings that read_settings only sets in some cases
    demandeParCle = 0;
    equipIp[0] = 0;
    equipPort = 0;
    read_settings();
    FUZZ_CHECK(lenght_path == (int)strlen(save_path_gieglan), "the sub-directory's length");
    for (const char *tag : tags) {
        const std::string want = lookup(p[0], tag);
        FUZZ_CHECK(want.substr(0, SIZE_PARAM_LINE - 1) == read_code_param_file(tag, path.c_str()),
                   std::string("lookup of ") + tag);
    }

    const std::string &rw = p[1];
    const size_t lf = rw.find('\n');
    const std::string first = rw.substr(0, lf);
    std::string tag = first.substr(0, 5);
    const std::string value = first.size() > 5 ? first.substr(5) : "";
    const int width = (lf != std::string::npos && lf + 1 < rw.size()) ? (rw[lf + 1] & 0xFF) % 3 : 1;
    tag = tag.substr(0, tag.find('\0'));
    if (tag.empty()) return 0;

    // A line of the rewrite's own: whatever it holds, the rest of the file is kept.
    const std::string line = first.substr(0, first.find('\0')) + "\n";
    std::string before = fuzz::get(path);
    FUZZ_CHECK(replace_line_in_file(path.c_str(), tag.c_str(), line.c_str()) == 0, "rewrite");
    FUZZ_CHECK(fuzz::get(path) == rewritten(before, tag, line), "the rewrite keeps every other byte");

    // The acknowledgement of a request: the tag's lookup then gives the value, padded.
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return 0;
    if (value.size() > 200) return 0;
    const int widths[] = {10, 40, 60};
    before = fuzz::get(path);
    FUZZ_CHECK(strcmp(write_code_param_file(tag.c_str(), value.c_str(), path.c_str(),
                                            widths[width]),
                      "ok") == 0,
               "acknowledgement written");
    std::string padded = value;
    if ((int)padded.size() < widths[width]) padded.resize(widths[width], ' ');
    const std::string ack = tag + padded + "\n";
    FUZZ_CHECK(fuzz::get(path) == rewritten(before, tag, ack), "the acknowledgement's line");
    if (ack.size() <= SIZE_PARAM_LINE)
        FUZZ_CHECK(read_code_param_file(tag.c_str(), path.c_str()) == padded,
                   "the acknowledged value is read back");
    return 0;
}
