// Helpers shared by the recording-file module's tests: a scratch directory that is removed with
// everything in it, whole-file reads and header field access.
#pragma once

#include "edf/edf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#endif

class ScratchDir
{
public:
    ScratchDir()
    {
#ifdef _WIN32
        const char* base = getenv("TEMP");
        std::string templ = std::string(base && *base ? base : ".") + "\\neurask-edf-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (_mktemp_s(buf.data(), buf.size()) == 0 && _mkdir(buf.data()) == 0)
            dir_ = buf.data();
#else
        const char* base = getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/neurask-edf-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()))
            dir_ = buf.data();
#endif
    }
    ~ScratchDir()
    {
        // Files left open by a failed test would keep their slot; close them first.
        while (edf_open_file_count() > 0 && edf_get_handle(0) >= 0)
            edf_close(edf_get_handle(0));
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..")
                    unlink((dir_ + "/" + name).c_str());
            }
            closedir(d);
        }
        rmdir(dir_.c_str());
    }
    std::string path(const std::string& name) const
    {
        return dir_ + "/" + name;
    }

private:
    std::string dir_;
};

inline std::vector<unsigned char> readFile(const std::string& path)
{
    std::vector<unsigned char> data;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        unsigned char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            data.insert(data.end(), buf, buf + n);
        fclose(f);
    }
    return data;
}

// The bytes [offset, offset + width) as text.
inline std::string field(const std::vector<unsigned char>& data, size_t offset, size_t width)
{
    if (offset + width > data.size())
        return "<past end>";
    return std::string(data.begin() + offset, data.begin() + offset + width);
}

// Text padded with spaces to width, as header fields hold it.
inline std::string padded(const std::string& text, size_t width)
{
    std::string s = text;
    s.resize(width, ' ');
    return s;
}
