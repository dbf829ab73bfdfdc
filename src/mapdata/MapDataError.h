// The error of the file writers of this library.
#pragma once

#include "AtomicFile.h"

// A failure that ends writing a map data file or a parameter file; what()
// names the file and the system's reason.
using TMapDataError = TFileError;
