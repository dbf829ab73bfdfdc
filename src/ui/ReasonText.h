// The window says every reason in Chinese; this is the one place that does.
#pragma once

#include <exception>

#include <QString>

#include "Fault.h"

// A reason in Chinese. Only numbers, paths, host names and the HTTP status
// stay as they are.
QString ReasonText(const TFault& fault);
// The system's error number in Chinese; the number itself for a rare one.
QString ErrnoReasonText(int err);
// curl's CURLcode in Chinese; the code itself for a rare one.
QString CurlReasonText(int code);
// A caught error for a message: a file error's reason in Chinese, anything
// else as it came.
QString ErrorText(const std::exception& error);
