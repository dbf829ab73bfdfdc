// The error of the file writers of this library.
#pragma once

#include <stdexcept>

// A failure that ends writing a map data file or a parameter file; what()
// names the file and the system's reason.
class TMapDataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
