// Runs a program as a real process and collects what it wrote.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// environment entries are added to (or replace) the test's own environment.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& environment = {});
