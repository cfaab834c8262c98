// A scratch directory for store tests, removed with everything in it.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_system.h"

class ScratchDirectory {
public:
    ScratchDirectory() {
        auto made = platform::makeTemporaryDirectory("velko-store-");
        if (made.ok()) path_ = made.value();
    }
    ~ScratchDirectory() {
        if (!path_.empty()) platform::removeTree(path_);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string full = file(name);
        std::ofstream out(full, std::ios::binary);
        out << content;
        return full;
    }

private:
    std::string path_;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string written(KoXMLComplexElement* element) {
    std::ostringstream out;
    element->write(out);
    return out.str();
}
