#pragma once
#include <string>

class ITestGreeter {
public:
    virtual ~ITestGreeter() = default;
    virtual std::string Greet(const std::string &who) = 0;
};
