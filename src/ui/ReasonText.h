// The window says every reason in Chinese; this is the one place that does.
#pragma once

#include <exception>

#include <QString>

#include "Fault.h"
#include "FileRead.h"
#include "TileSource.h"

// A reason in Chinese. Only numbers, paths, host names and the HTTP status
// stay as they are.
QString ReasonText(const TFault& fault);
// The system's error number in Chinese; the number itself for a rare one.
QString ErrnoReasonText(int err);
// curl's CURLcode in Chinese; the code itself for a rare one.
QString CurlReasonText(int code);
// Why a settings entry for the tile source is refused, naming the entry.
QString ReasonText(const TSourceProblem& problem);
// A reader's failure on fileName: the system's reason in Chinese; its own
// text (the window's message for a missing or foreign file) otherwise.
QString ReadErrorText(const TReadError& error, const QString& fileName);
// A caught error for a message: a file error's reason and a lack of memory in
// Chinese; anything else, which no handler expects, with its own text.
QString ErrorText(const std::exception& error);
